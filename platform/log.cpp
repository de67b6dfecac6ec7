#include "platform/log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace platform {
namespace {

std::mutex g_logMutex;
std::function<void(std::string_view)> g_sink;

}  // namespace

void Log(std::string_view line) {
  std::lock_guard lock(g_logMutex);
  if (g_sink) {
    g_sink(line);
    return;
  }
  // One write per line keeps lines whole even when other processes share stderr.
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void Logf(const char* format, ...) {
  char buffer[8192];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  Log(std::string_view(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1)));
}

void SetLogSink(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(g_logMutex);
  g_sink = std::move(sink);
}

}  // namespace platform
