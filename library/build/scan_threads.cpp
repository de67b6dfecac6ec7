#include "library/build/scan_threads.h"

#include <malloc.h>

#include <chrono>

#include "library/build/container_tree.h"
#include "library/build/library_edit.h"
#include "library/build/scan_internal.h"
#include "library/build/scan_limits.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/media_record.h"
#include "library/statements.h"
#include "platform/thread.h"

namespace {

// The connection's page cache setting as SQLite reports it (negative: KiB, positive:
// pages); 0 when it cannot be read.
int32_t PageCacheSetting() {
  MediaRecord r;
  if (db_getOneRecord({"select cache_size as MyIndex from pragma_cache_size()", {}}, &r) != 1) {
    return 0;
  }
  return r.MyIndex;
}

// Holds the library's page cache at the scan size for one scan. A cache set in KiB and
// already no larger stays, and so does one set as a page count (its size in KiB is not
// known here). The small cache is left in place at the end: the library gives browsing
// its own size back on the next browse, and until then (the counts after a scan, the
// compacting copy at close) nothing profits from a large one.
class ScanPageCache {
 public:
  ScanPageCache() {
    if (PageCacheSetting() < -scan_limits::kScanPageCacheKiB) {
      db_execute({"pragma cache_size = -" + std::to_string(scan_limits::kScanPageCacheKiB), {}});
    }
  }
  ~ScanPageCache() {
    // The pages still cached are the last ones the scan wrote, of no more use to browsing
    // than any other; they are given back (with the allocator's free pages, which
    // otherwise stay with this thread's arena after it ends) rather than held until the
    // process exits.
    db_execute({"pragma shrink_memory", {}});
    malloc_trim(0);
  }
  ScanPageCache(const ScanPageCache&) = delete;
  ScanPageCache& operator=(const ScanPageCache&) = delete;
};

// Runs `work` as a scan: marks the scanner busy, holds Scanner().filesMutex, and ends the way
// every scan ends (current path emptied, running flag cleared, browse marked stale).
template <typename Work>
void RunScan(Work work) {
  Scanner().idle.store(false, std::memory_order_release);
  {
    std::lock_guard lock(Scanner().filesMutex);
    Scanner().abort.store(false, std::memory_order_release);
    ScanPageCache cache;
    work();
  }
  Scanner().currentPath.Clear();
  Scanner().running.store(false, std::memory_order_release);
  db_invalidateBrowse();
  Scanner().idle.store(true, std::memory_order_release);
}

bool Stopped() { return Scanner().abort.load(std::memory_order_acquire); }

// Scans a shared folder and, unless the walk was stopped, clears what its row says is
// left to do. A scan stopped by an exit is thus finished at the next start, like one cut
// short by a crash.
void ScanToTheEnd(const std::string& path) {
  Scan_SharedFolder(path);
  if (!Stopped()) db_execute(sql::SetSharedFolderFlags(path, kSharedFolderDone));
}

// The mark is stored before the first object is deleted: a refresh cut short anywhere is
// done again as a whole, since what is left of the old objects cannot be told apart.
void RefreshToTheEnd(const std::string& path) {
  db_execute(sql::SetSharedFolderFlags(path, kSharedFolderRefreshPending));
  for (int32_t root : {kContainerAudioFolders, kContainerVideoFolders, kContainerImageFolders}) {
    MediaRecord r;
    while (db_getOneRecord(sql::FolderUnder(path, root), &r) > 0) Lib_DeleteSubtree(r.MyIndex);
  }
  ScanToTheEnd(path);
}

}  // namespace

void ScanThread_AddFolders(const std::vector<std::string>& paths) {
  RunScan([&] {
    for (const std::string& path : paths) {
      if (path.empty()) break;  // the list's end
      if (Stopped()) break;
      ScanToTheEnd(path);
    }
  });
}

void ScanThread_AddFolder(const std::string& path) {
  RunScan([&] { ScanToTheEnd(path); });
}

void ScanThread_RefreshFolder(const std::string& path) {
  RunScan([&] { RefreshToTheEnd(path); });
}

void ScanThread_RescanAll() {
  RunScan([] {
    scan_detail::RebuildEmptyLibraryLocked();
    // The rebuild may take a moment; a stop request made during it counts.
    for (const SharedFolderRecord& shared : db_listSharedFolders()) {
      if (Stopped()) break;
      ScanToTheEnd(shared.DirPath);
    }
  });
}

std::vector<std::string> Scan_UnfinishedFolders() {
  std::vector<std::string> folders;
  for (const SharedFolderRecord& shared : db_listSharedFolders()) {
    if (shared.Flags != kSharedFolderDone) folders.push_back(shared.DirPath);
  }
  return folders;
}

void ScanThread_FinishUnfinished() {
  RunScan([] {
    for (const SharedFolderRecord& shared : db_listSharedFolders()) {
      if (Stopped()) break;
      switch (shared.Flags) {
        case kSharedFolderScanPending:
          // What the scan stored is right; it goes on where it ended.
          ScanToTheEnd(shared.DirPath);
          break;
        case kSharedFolderRefreshPending:
          RefreshToTheEnd(shared.DirPath);
          break;
        case kSharedFolderRemovalPending:
          scan_detail::RemoveSharedFolderLocked(shared.DirPath);
          break;
        default:
          break;
      }
    }
  });
}

CScanThread::~CScanThread() { Join(); }

template <typename Body>
bool CScanThread::Start(Body body) {
  std::lock_guard lock(mutex_);
  if (running_) return false;
  if (thread_.joinable()) thread_.join();
  running_ = true;
  Scan_ResetCurrentCounts();
  Scanner().running.store(true, std::memory_order_release);
  thread_ = std::thread([this, body = std::move(body)] {
    platform::SetCurrentThreadName("scan");
    body();
    std::lock_guard done(mutex_);
    running_ = false;
    ended_.notify_all();
  });
  return true;
}

bool CScanThread::StartAddFolders(std::vector<std::string> paths) {
  return Start([paths = std::move(paths)] { ScanThread_AddFolders(paths); });
}

bool CScanThread::StartAddFolder(std::string path) {
  return Start([path = std::move(path)] { ScanThread_AddFolder(path); });
}

bool CScanThread::StartRefreshFolder(std::string path) {
  return Start([path = std::move(path)] { ScanThread_RefreshFolder(path); });
}

bool CScanThread::StartRescanAll() {
  return Start([] { ScanThread_RescanAll(); });
}

bool CScanThread::StartFinishUnfinished() {
  return Start([] { ScanThread_FinishUnfinished(); });
}

bool CScanThread::Running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

bool CScanThread::WaitFor(uint64_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !running_; });
}

void CScanThread::Join() {
  std::thread finished;
  {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return !running_; });
    finished = std::move(thread_);
  }
  if (finished.joinable()) finished.join();
}
