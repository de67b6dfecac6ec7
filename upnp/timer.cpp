#include "upnp/timer.h"

#include <algorithm>

#include "platform/tick.h"

namespace {

void RunReleases(std::list<FLibTimerEntry>& entries) {
  for (FLibTimerEntry& e : entries) {
    if (e.Release) e.Release(e.Data);
  }
}

// Releases, instead of running, every expired entry whose key was cancelled by the
// callback that just ran.
void ApplyRemovals(FLibTimer* timer, std::list<FLibTimerEntry>& expired) {
  std::vector<void*> keys;
  {
    std::lock_guard lock(timer->RemovedLock);
    keys.swap(timer->RemovedQueue);
  }
  if (keys.empty()) return;
  std::list<FLibTimerEntry> removed;
  for (auto it = expired.begin(); it != expired.end();) {
    auto next = std::next(it);
    if (std::find(keys.begin(), keys.end(), it->Data) != keys.end())
      removed.splice(removed.end(), expired, it);
    it = next;
  }
  RunReleases(removed);
}

// The timer module's BeforeWait: runs expired entries and lowers the chain's block time
// to the next expiry.
void TimerCheck(FLibModule* module, FLibSocketSet*, FLibSocketSet*, FLibSocketSet*,
                int32_t* blockMs) {
  auto* timer = static_cast<FLibTimer*>(module);
  std::list<FLibTimerEntry> expired;
  {
    std::lock_guard lock(timer->Lock);
    if (timer->Head.empty()) return;
    uint64_t now = platform::TickCountMs();
    auto end = timer->Head.begin();
    while (end != timer->Head.end() && end->ExpiryMs <= now) ++end;
    expired.splice(expired.end(), timer->Head, timer->Head.begin(), end);
    if (!expired.empty()) timer->RemovedQueueActive = true;
  }
  while (!expired.empty()) {
    FLibTimerEntry entry = expired.front();
    expired.pop_front();
    if (entry.Callback) entry.Callback(entry.Data);
    ApplyRemovals(timer, expired);
  }
  std::lock_guard lock(timer->Lock);
  if (timer->RemovedQueueActive) {
    timer->RemovedQueueActive = false;
    std::lock_guard removedLock(timer->RemovedLock);
    timer->RemovedQueue.clear();
  }
  if (!timer->Head.empty()) {
    uint64_t now = platform::TickCountMs();
    uint64_t expiry = timer->Head.front().ExpiryMs;
    uint64_t wait = expiry > now ? expiry - now : 0;
    if (wait < static_cast<uint64_t>(*blockMs)) *blockMs = static_cast<int32_t>(wait);
  }
}

void TimerDispose(FLibModule* module) { FLibTimer_Clear(static_cast<FLibTimer*>(module)); }

}  // namespace

FLibTimer* FLibTimer_Create(FLibChain* chain) {
  auto timer = std::make_unique<FLibTimer>();
  timer->Chain = chain;
  timer->BeforeWait = TimerCheck;
  timer->Dispose = TimerDispose;
  return FLibChain_AddModule(chain, std::move(timer));
}

void FLibTimer_Add(FLibTimer* timer, void* data, uint32_t delayMs, FLibTimer_Callback callback,
                   FLibTimer_Callback release) {
  FLibTimer_AddAt(timer, data, platform::TickCountMs() + delayMs, callback, release);
}

void FLibTimer_AddAt(FLibTimer* timer, void* data, uint64_t expiryMs, FLibTimer_Callback callback,
                     FLibTimer_Callback release) {
  bool newHead = false;
  bool scheduled = false;
  {
    std::lock_guard lock(timer->Lock);
    if (!timer->Disposed.load(std::memory_order_acquire)) {
      FLibTimerEntry entry{expiryMs, data, callback, release};
      auto it = std::find_if(timer->Head.begin(), timer->Head.end(),
                             [&](const FLibTimerEntry& e) { return e.ExpiryMs >= entry.ExpiryMs; });
      newHead = it == timer->Head.begin();
      timer->Head.insert(it, entry);
      scheduled = true;
    }
  }
  if (!scheduled) {
    if (release) release(data);  // the module is gone: hand the data back
    return;
  }
  if (newHead) FLibChain_Wake(timer->Chain);
}

void FLibTimer_Cancel(FLibTimer* timer, void* data) {
  std::list<FLibTimerEntry> removed;
  {
    std::lock_guard lock(timer->Lock);
    for (auto it = timer->Head.begin(); it != timer->Head.end();) {
      auto next = std::next(it);
      if (it->Data == data) removed.splice(removed.end(), timer->Head, it);
      it = next;
    }
    if (timer->RemovedQueueActive) {
      std::lock_guard removedLock(timer->RemovedLock);
      timer->RemovedQueue.push_back(data);
    }
  }
  RunReleases(removed);
}

void FLibTimer_Clear(FLibTimer* timer) {
  std::list<FLibTimerEntry> removed;
  {
    std::lock_guard lock(timer->Lock);
    removed.swap(timer->Head);
  }
  RunReleases(removed);
}
