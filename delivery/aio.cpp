#include "delivery/aio.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "app/settings.h"
#include "delivery/precache.h"
#include "platform/thread.h"
#include "upnp/web_server.h"

namespace {

// One queued read. Holds its owner and a session reference until it is done or dropped.
struct QueuedRead {
  AioRequest* Request = nullptr;
  std::shared_ptr<void> Owner;
  FLibWebSession* Session = nullptr;

  QueuedRead(AioRequest* request, std::shared_ptr<void> owner, FLibWebSession* session)
      : Request(request), Owner(std::move(owner)), Session(session) {
    if (Session) FLibWebServer_Hold(Session);
  }
  QueuedRead(QueuedRead&& other) noexcept
      : Request(other.Request), Owner(std::move(other.Owner)), Session(other.Session) {
    other.Session = nullptr;
  }
  QueuedRead& operator=(QueuedRead&&) = delete;
  QueuedRead(const QueuedRead&) = delete;
  ~QueuedRead() {
    Owner.reset();  // the owner may hold the session too; it goes first
    if (Session) FLibWebServer_Drop(Session);
  }
};

struct ReadThread {
  std::mutex Mutex;
  std::condition_variable Wake;
  std::deque<QueuedRead> Queue;
  bool Running = false;
  bool StopRequested = false;
  std::thread Thread;
  // Serialises Aio_Start and Aio_Stop.
  std::mutex Control;
  AioCounters Counters;
};

ReadThread& Reader() {
  static ReadThread reader;
  return reader;
}

void Perform(ReadThread& reader, QueuedRead& read) {
  AioRequest* request = read.Request;
  int64_t n = 0;
  bool hit = false;
  if (!request->Source->IsStream() && PreCacheEnable.load(std::memory_order_acquire) != 0) {
    n = static_cast<int64_t>(
        PreCache_Read(request->Source, request->Offset, request->Buffer, request->Size));
    hit = n > 0;
  }
  if (!hit) n = request->Source->Read(request->Offset, request->Buffer, request->Size);
  request->BytesRead = n;
  if (request->Completion) request->Completion(request);
  std::lock_guard lock(reader.Mutex);
  ++(hit ? reader.Counters.CacheHits : reader.Counters.DiskReads);
  ++reader.Counters.Completions;
}

void Run(ReadThread& reader) {
  platform::SetCurrentThreadName("orvex-read");
  platform::SetCurrentThreadPriorityHighest();
  for (;;) {
    std::unique_lock lock(reader.Mutex);
    reader.Wake.wait(lock, [&] { return reader.StopRequested || !reader.Queue.empty(); });
    if (reader.StopRequested) return;
    QueuedRead read = std::move(reader.Queue.front());
    reader.Queue.pop_front();
    lock.unlock();
    Perform(reader, read);
  }
}

}  // namespace

int Aio_Start() {
  ReadThread& reader = Reader();
  std::lock_guard control(reader.Control);
  {
    std::lock_guard lock(reader.Mutex);
    if (reader.Running) return 1;
    reader.StopRequested = false;
    reader.Counters = AioCounters{};
  }
  try {
    reader.Thread = std::thread(Run, std::ref(reader));
  } catch (const std::system_error&) {
    return 0;
  }
  std::lock_guard lock(reader.Mutex);
  reader.Running = true;
  return 1;
}

void Aio_Stop() {
  ReadThread& reader = Reader();
  std::lock_guard control(reader.Control);
  std::deque<QueuedRead> dropped;
  {
    std::lock_guard lock(reader.Mutex);
    if (!reader.Running) return;
    reader.StopRequested = true;
    reader.Running = false;
  }
  reader.Wake.notify_all();
  reader.Thread.join();
  {
    std::lock_guard lock(reader.Mutex);
    dropped.swap(reader.Queue);
  }
  // `dropped` releases the owners and sessions outside the lock.
}

bool Aio_IsRunning() {
  ReadThread& reader = Reader();
  std::lock_guard lock(reader.Mutex);
  return reader.Running;
}

int Aio_PostRead(AioRequest* request, std::shared_ptr<void> owner, FLibWebSession* session) {
  if (request == nullptr || request->Source == nullptr) return -1;
  ReadThread& reader = Reader();
  {
    std::lock_guard lock(reader.Mutex);
    if (!reader.Running || reader.StopRequested) return -1;
    reader.Queue.emplace_back(request, std::move(owner), session);
  }
  reader.Wake.notify_one();
  return 0;
}

AioCounters Aio_GetCounters() {
  ReadThread& reader = Reader();
  std::lock_guard lock(reader.Mutex);
  return reader.Counters;
}
