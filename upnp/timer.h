// The timer module: time-ordered callbacks on a chain. Entries are keyed by the caller's
// data pointer, which is also the argument of both callbacks.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "upnp/chain.h"

using FLibTimer_Callback = void (*)(void* data);

struct FLibTimerEntry {
  uint64_t ExpiryMs = 0;
  void* Data = nullptr;
  FLibTimer_Callback Callback = nullptr;
  FLibTimer_Callback Release = nullptr;
};

struct FLibTimer : FLibModule {
  FLibChain* Chain = nullptr;
  std::mutex Lock;                 // guards Head, Disposed and RemovedQueue's existence
  std::list<FLibTimerEntry> Head;  // ascending expiry; newest first among equal times
  // Exists only while expired callbacks run: keys cancelled meanwhile, so that expired
  // entries not yet run are released instead of called.
  bool RemovedQueueActive = false;
  std::mutex RemovedLock;  // taken inside or after Lock, never the other way round
  std::vector<void*> RemovedQueue;
};

// A timer module, already added to the chain.
FLibTimer* FLibTimer_Create(FLibChain* chain);

// Runs `callback(data)` on the chain thread after `delayMs` (0 = at the next turn). If the
// entry is removed first, `release(data)` runs instead (when given). On a disposed module
// nothing is scheduled and `release` runs at once, so the caller's data is never lost.
// Any thread.
void FLibTimer_Add(FLibTimer* timer, void* data, uint32_t delayMs, FLibTimer_Callback callback,
                   FLibTimer_Callback release);

// The same at an absolute time of platform::TickCountMs(); an entry whose time has passed
// runs at the next turn. Lets tests place entries at equal or past times exactly.
void FLibTimer_AddAt(FLibTimer* timer, void* data, uint64_t expiryMs, FLibTimer_Callback callback,
                     FLibTimer_Callback release);

// Removes every pending entry keyed `data` and runs its release once per entry, outside
// the module's lock. Also stops such entries that have expired but not yet run in the
// current turn. Any thread.
void FLibTimer_Cancel(FLibTimer* timer, void* data);

// Removes every entry, running each one's release. Any thread.
void FLibTimer_Clear(FLibTimer* timer);
