// The process-wide object-number counter. Every new row of the object table takes its
// MyIndex from here; numbers are never handed out twice while the program runs, even
// when a scan and the directory watcher insert at the same time.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> g_nextMyIndex;

// Takes the next number and advances the counter (whether or not the insert that uses
// it succeeds).
inline int32_t AllocateObjectNumber() {
  return g_nextMyIndex.fetch_add(1, std::memory_order_acq_rel);
}
