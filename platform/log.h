// Diagnostic output. Every subsystem writes its trace and warning lines through here
// so that one switch (or a test) can silence or capture them.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

// Writes `line` as it is (no newline is added) to standard error, or to the sink a
// test installed. Safe from any thread; concurrent lines do not interleave.
void Log(std::string_view line);

// printf-style convenience; the result is cut at 8 KiB.
void Logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the output (nullptr restores standard error). For tests.
void SetLogSink(std::function<void(std::string_view)> sink);

}  // namespace platform
