#include "media/media_fixtures.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/process.h"
#include "platform/log.h"

namespace media_test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvex-media-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

struct LogCapture::State {
  std::mutex mutex;
  std::string text;
};

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  platform::SetLogSink([state](std::string_view line) {
    std::lock_guard lock(state->mutex);
    state->text.append(line);
  });
}

LogCapture::~LogCapture() { platform::SetLogSink(nullptr); }

std::string LogCapture::Text() const {
  std::lock_guard lock(state_->mutex);
  return state_->text;
}

bool RunProgram(const std::vector<std::string>& argv) {
  platform::RunResult result = platform::RunToEnd(argv, 120 * 1000);
  return result.exited && result.exitCode == 0;
}

bool RunFfmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-y", "-v", "error"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

bool HaveProgram(const std::string& name) {
  return platform::RunToEnd({"sh", "-c", "command -v " + name}, 10 * 1000).exitCode == 0;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace media_test
