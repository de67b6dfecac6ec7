// Helpers shared by the tests of every subsystem: a temporary directory that removes
// itself, polling with a time limit instead of fixed sleeps, whole-file reads and writes,
// a capture of the diagnostic lines, a small WAV file and runs of helper programs.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tick.h"

namespace platform::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvex-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Polls `condition` until it holds or `timeoutMs` passes; returns its last value.
inline bool WaitUntil(const std::function<bool()>& condition, uint64_t timeoutMs = 5000) {
  uint64_t deadline = TickCountMs() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (TickCountMs() >= deadline) return condition();
    SleepMs(2);
  }
}

inline void WriteFile(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Collects the lines written through platform::Log while it lives, and keeps them off
// standard error.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string Text() const;
  bool Contains(std::string_view part) const { return Text().find(part) != std::string::npos; }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// One second of silence, 8-bit mono at 8 kHz: the smallest file the scanner takes for a
// song.
void WriteWav(const std::string& path);

// Runs a program (looked up in PATH) to its end; true when it exited with status 0.
bool RunProgram(const std::vector<std::string>& argv);

// Runs ffmpeg quietly with `args` after "-y -v error"; true when it succeeded.
bool RunFfmpeg(const std::vector<std::string>& args);

// True when a program of that name is found in PATH.
bool HaveProgram(const std::string& name);

}  // namespace platform::testing
