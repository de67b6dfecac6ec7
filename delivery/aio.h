// The read thread: every file read of an HTTP transfer runs here, so the event chains
// never block on the disk. Reads are taken from a queue in order and done with pread();
// each completion runs on this thread too. A read of a plain file may be served from the
// pre-cache window (precache.h) when PreCacheEnable is set; the bytes are the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "delivery/rp_source.h"

struct FLibWebSession;

struct AioRequest {
  RpSource* Source = nullptr;  // kept alive by the owner given to Aio_PostRead
  uint64_t Offset = 0;
  char* Buffer = nullptr;
  size_t Size = 0;
  int64_t BytesRead = 0;  // set before the completion runs: n > 0, 0 at the end, -1 error
  // Runs on the read thread once the read is done; not when the thread stops first.
  std::function<void(AioRequest*)> Completion;
};

// Starts the read thread. 1 when running (also when it was already), 0 on failure.
int Aio_Start();
// Stops and joins the read thread; reads still queued are dropped without completion,
// which releases their owners and sessions.
void Aio_Stop();
bool Aio_IsRunning();

// Queues a read. `owner` is kept until the read has completed or was dropped, so the
// request and its buffer stay valid; `session` (may be null) is held as long. Returns 0,
// or -1 when the thread is not running (nothing is kept, no completion follows).
int Aio_PostRead(AioRequest* request, std::shared_ptr<void> owner, FLibWebSession* session);

// Counts since the thread started, for status and tests.
struct AioCounters {
  uint64_t DiskReads = 0;  // reads that went to the source
  uint64_t CacheHits = 0;  // reads served from the pre-cache window
  uint64_t Completions = 0;
};
AioCounters Aio_GetCounters();
