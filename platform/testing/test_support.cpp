#include "platform/testing/test_support.h"

#include <mutex>

#include "platform/log.h"
#include "platform/process.h"

namespace platform::testing {

struct LogCapture::State {
  mutable std::mutex mutex;
  std::string text;
};

// The sink holds the state too: a line logged while the capture ends still has a place.
LogCapture::LogCapture() : state_(std::make_shared<State>()) {
  SetLogSink([state = state_](std::string_view line) {
    std::lock_guard lock(state->mutex);
    state->text.append(line);
  });
}

LogCapture::~LogCapture() { SetLogSink(nullptr); }

std::string LogCapture::Text() const {
  std::lock_guard lock(state_->mutex);
  return state_->text;
}

void WriteWav(const std::string& path) {
  auto u32 = [](uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  auto u16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  const std::string data(8000, '\x80');
  WriteFile(path, "RIFF" + u32(36 + 8000) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(8000) +
                      u32(8000) + u16(1) + u16(8) + "data" + u32(8000) + data);
}

bool RunProgram(const std::vector<std::string>& argv) {
  RunResult result = RunToEnd(argv, 120 * 1000);
  return result.exited && result.exitCode == 0;
}

bool RunFfmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-y", "-v", "error"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

bool HaveProgram(const std::string& name) {
  return RunToEnd({"sh", "-c", "command -v " + name}, 10 * 1000).exitCode == 0;
}

}  // namespace platform::testing
