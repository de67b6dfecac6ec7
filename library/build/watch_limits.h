// Limits and time-outs of the directory watcher, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace watch_limits {

// How long WatchDirectory and UnwatchDirectory wait for the monitor thread's answer. A
// start walks the whole tree to watch each directory, which takes a few seconds for tens
// of thousands of folders; a longer wait means the monitor thread is stuck.
inline constexpr uint64_t kAnswerTimeoutMs = 120000;

// A moved-from report whose moved-to partner has not arrived in this time is a move out
// of the watched trees. The kernel queues both halves of a rename together, so the
// partner is only ever late when the two fall into separate reads.
inline constexpr int kMovePairWaitMs = 20;

// Files seen created and not yet closed by their writer. Bounded, so that files that are
// never closed cannot grow the set without end; the oldest marks go first.
inline constexpr size_t kMaxFilesBeingWritten = 65536;

// A file found in a directory that has just appeared may have been closed by its writer
// before the directory was watched, so no close will ever be reported for it. It counts
// as arrived once its size and modification time have stayed the same this long.
inline constexpr uint64_t kFoundFileSettleMs = 1000;

// After a queue overflow, events of files created in the lost stretch are missing, so a
// file closed by its writer within this time counts as arrived (and is stored again when
// the library holds it with another size).
inline constexpr uint64_t kOverflowGraceMs = 10 * 60 * 1000;

// The sysctl that raises the per-user watch limit, named in the warning.
inline constexpr const char* kWatchLimitSysctl = "fs.inotify.max_user_watches";

}  // namespace watch_limits
