#include "platform/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex g_logMutex;
std::function<void(std::string_view)> g_sink;

// A service manager that connects standard error to the journal names that stream in
// $JOURNAL_STREAM as "device:inode"; a stream inherited by a child it started (or a
// redirection) no longer matches.
bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat st{};
  if (stream == nullptr || ::fstat(STDERR_FILENO, &st) != 0) return false;
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) == stream;
}

// The journal's priority mark and the word a reader of the log sees.
std::string_view LevelPrefix(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return "<3>error: ";
    case LogLevel::kWarning:
      return "<4>warning: ";
    case LogLevel::kInfo:
      break;
  }
  return "<6>info: ";
}

void WriteAll(std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The journal takes one record per line, so a message of several lines becomes several
// records, each with its level; a last line without its newline gets one.
void WriteJournalLines(LogLevel level, std::string_view text) {
  std::string out;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty()) continue;
    out.append(LevelPrefix(level)).append(line).push_back('\n');
  }
  WriteAll(out);
}

}  // namespace

void Log(std::string_view line) { Log(LogLevel::kInfo, line); }

void Log(LogLevel level, std::string_view line) {
  static const bool journal = StderrIsJournal();
  std::lock_guard lock(g_logMutex);
  if (g_sink) {
    g_sink(line);
    return;
  }
  // One write per message keeps lines whole even when other processes share stderr.
  if (journal) {
    WriteJournalLines(level, line);
  } else {
    WriteAll(line);
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
