#include "transcode/seek_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "library/library.h"
#include "library/statements.h"
#include "platform/app_directory.h"
#include "platform/path.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"
#include "transcode/seek_index_build.h"
#include "transcode/seek_index_limits.h"

std::atomic<bool> IndexStopFlag{false};

namespace {

using namespace seek_index;

// The queue and its worker. `mutex` guards every member except `worker`, which only the
// start and shutdown paths touch (under `lifecycle`). The queue mutex is never held while
// the library is used, so the two locks cannot deadlock.
struct IndexCache {
  std::mutex lifecycle;
  std::mutex mutex;
  std::condition_variable wake;
  std::vector<std::string> queue;
  size_t capacity = 0;
  bool running = false;
  int idleMs = kWorkerIdleMs;
  std::function<void(const std::string&)> buildHook;
  std::thread worker;
};

IndexCache& Cache() {
  static IndexCache cache;
  return cache;
}

// Set by shutdown: ends the worker's sleep and any build in progress within one read.
// Kept apart from IndexStopFlag, which lets the current build finish.
std::atomic<bool> g_shutdown{false};

bool ShuttingDown() { return g_shutdown.load(std::memory_order_acquire); }

// One pass over the queue, entered with the lock held and a non-empty queue, left with
// the lock held and an empty queue. Entries added while a file is built join this pass.
// Each path is copied under the lock, since adding may move the entries.
void RunPass(std::unique_lock<std::mutex>& lock) {
  IndexCache& cache = Cache();
  for (size_t i = 0;; ++i) {
    if (IndexStopFlag.load(std::memory_order_acquire) || ShuttingDown()) break;
    std::string path = cache.queue[i];
    std::function<void(const std::string&)> hook = cache.buildHook;
    lock.unlock();
    if (hook) hook(path);
    IndexBuild(path);
    lock.lock();
    if (i + 1 >= cache.queue.size()) break;
  }
  cache.queue.clear();
}

void WorkerMain() {
  // Not the idle policy: this thread takes the library's lock to name each index, and a
  // thread at that policy can be left without the processor for seconds on a busy machine
  // with the lock held, stalling every Browse and the end of the process.
  platform::SetCurrentThreadPriorityBackground();
  platform::SetCurrentThreadName("seek-index");
  IndexCache& cache = Cache();
  std::unique_lock lock(cache.mutex);
  while (!ShuttingDown()) {
    if (cache.queue.empty() || IndexStopFlag.load(std::memory_order_acquire)) {
      cache.queue.clear();
      cache.wake.wait_for(lock, std::chrono::milliseconds(cache.idleMs), ShuttingDown);
      continue;
    }
    RunPass(lock);
  }
}

std::string RecordIndexFileName(std::string_view path) {
  MediaRecord record;
  if (db_getOneRecord(sql::ByPath(path), &record) < 1) return {};
  return IndexFileName(record.MyIndex, record.FileName);
}

// Opens a media file for reading. Only regular files: a FIFO or a device could block the
// worker for ever.
platform::UniqueFd OpenMediaFile(const std::string& path) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return fd;
}

}  // namespace

int IndexCacheStart() {
  IndexCache& cache = Cache();
  std::lock_guard life(cache.lifecycle);
  if (cache.worker.joinable()) return 1;
  {
    std::lock_guard lock(cache.mutex);
    try {
      cache.queue.clear();
      cache.queue.reserve(kQueueGrowStep);
    } catch (const std::bad_alloc&) {
      return 0;
    }
    cache.capacity = kQueueGrowStep;
    cache.running = true;
  }
  g_shutdown.store(false, std::memory_order_release);
  try {
    cache.worker = std::thread(WorkerMain);
  } catch (const std::system_error&) {
    std::lock_guard lock(cache.mutex);
    cache.running = false;
    return 0;
  }
  return 1;
}

void IndexCacheShutdown() {
  IndexCache& cache = Cache();
  std::lock_guard life(cache.lifecycle);
  if (!cache.worker.joinable()) return;
  {
    std::lock_guard lock(cache.mutex);
    cache.running = false;
    g_shutdown.store(true, std::memory_order_release);
  }
  cache.wake.notify_all();
  cache.worker.join();
  {
    std::lock_guard lock(cache.mutex);
    cache.queue.clear();
    cache.queue.shrink_to_fit();
    cache.capacity = 0;
  }
  // Builds started later (directly, not by the worker) run to their end again.
  g_shutdown.store(false, std::memory_order_release);
}

int IndexQueueAdd(std::string_view path) {
  if (path.size() >= kQueueEntryField) return 0;
  IndexCache& cache = Cache();
  std::lock_guard lock(cache.mutex);
  if (!cache.running) return 0;
  try {
    if (cache.queue.size() >= cache.capacity) {
      cache.queue.reserve(cache.capacity + kQueueGrowStep);
      cache.capacity += kQueueGrowStep;
    }
    cache.queue.emplace_back(path);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  IndexStopFlag.store(false, std::memory_order_release);
  return static_cast<int>(cache.queue.size());
}

void IndexRemove(std::string_view path) {
  std::string name = RecordIndexFileName(path);
  if (!name.empty()) ::unlink(name.c_str());
}

bool IndexBuild(const std::string& path) {
  std::string indexName = RecordIndexFileName(path);
  if (indexName.empty()) return false;
  std::string tmpName =
      indexName.substr(0, indexName.size() - std::strlen(kIndexSuffix)) + kBuildingSuffix;
  // The old index goes first: a file that can no longer be indexed must not keep an
  // index of what it was. Unlinking leaves a reader that has it open undisturbed.
  if (::unlink(indexName.c_str()) != 0 && errno != ENOENT) return false;

  platform::UniqueFd media = OpenMediaFile(path);
  if (!media.Valid()) return false;
  platform::UniqueFd out(
      ::open(tmpName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!out.Valid()) return false;
  BuildStatus status =
      BuildIndexFile(media.Get(), platform::PathExtension(path), out.Get(), g_shutdown);
  bool closed = ::close(out.Release()) == 0;
  if (status == BuildStatus::kOk && closed && ::rename(tmpName.c_str(), indexName.c_str()) == 0) {
    return true;
  }
  ::unlink(tmpName.c_str());
  return false;
}

std::string IndexFileName(int32_t myIndex, std::string_view fileName) {
  if (fileName.find('/') != std::string_view::npos ||
      fileName.find('\0') != std::string_view::npos) {
    return {};
  }
  std::string name = platform::AppPath(kCacheDirectory);
  name += std::to_string(myIndex);
  name += fileName;
  name += kIndexSuffix;
  return name;
}

size_t IndexQueueCount() {
  IndexCache& cache = Cache();
  std::lock_guard lock(cache.mutex);
  return cache.queue.size();
}

void IndexCacheSetIdleIntervalForTest(int ms) {
  IndexCache& cache = Cache();
  std::lock_guard lock(cache.mutex);
  cache.idleMs = ms > 0 ? ms : kWorkerIdleMs;
}

void IndexCacheSetBuildHookForTest(std::function<void(const std::string&)> hook) {
  IndexCache& cache = Cache();
  std::lock_guard lock(cache.mutex);
  cache.buildHook = std::move(hook);
}
