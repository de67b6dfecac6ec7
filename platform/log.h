// Diagnostic output. Every subsystem writes its trace and warning lines through here
// so that one switch (or a test) can silence or capture them.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

enum class LogLevel { kInfo, kWarning, kError };

// Writes `line` as it is (no newline is added) to standard error, or to the sink a
// test installed. Safe from any thread; concurrent lines do not interleave.
// When standard error is the system journal's stream (as under a service manager), each
// line instead goes out on its own, led by the journal's priority mark and a level word
// ("<6>info: ..."), and empty lines are left out.
void Log(std::string_view line);
void Log(LogLevel level, std::string_view line);

// printf-style convenience; the result is cut at 8 KiB.
void Logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the output (nullptr restores standard error). For tests.
void SetLogSink(std::function<void(std::string_view)> sink);

}  // namespace platform
