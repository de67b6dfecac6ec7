#include "library/build/library_watcher.h"

#include <sys/stat.h>

#include "library/build/scan_threads.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/file_info.h"
#include "platform/log.h"

namespace {

// A file that arrived, or a file stored while it was still being written (a folder scan
// can run while a copy fills the folder): when the library holds the path with another
// size, its rows are replaced so that size and tags are those of the whole file.
void AddFileLocked(const std::string& path) {
  MediaRecord stored;
  if (db_getOneRecord(sql::ByPath(path), &stored) > 0 && stored.ObjectType == kObjectItem &&
      stored.FileSize != platform::FileSize64(path)) {
    Scan_RemovePath(path);
  }
  Scan_AddPath(path);
}

void AddLocked(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;  // gone again before its turn
  if (S_ISDIR(st.st_mode)) {
    Scan_AddFolder(path);
  } else if (S_ISREG(st.st_mode)) {
    AddFileLocked(path);
  }
}

// Refreshes a shared folder whose changes may have been lost. A folder no longer shared
// (removed while the report waited) is left alone, so it does not come back.
void RefreshIfShared(const std::string& folder) {
  SharedFolderRecord shared;
  if (db_getSharedFolder(folder, &shared) != 1) return;
  platform::Logf("watcher: changes below %s may have been missed; refreshing it\n", folder.c_str());
  ScanThread_RefreshFolder(folder);
}

}  // namespace

void CLibraryWatcher::ApplyChange(const CDirChangeNotification& n) {
  switch (n.kind) {
    case CDirChangeNotification::kAdded: {
      std::lock_guard lock(Scanner().filesMutex);
      AddLocked(n.path1);
      break;
    }
    case CDirChangeNotification::kRemoved: {
      std::lock_guard lock(Scanner().filesMutex);
      Scan_RemovePath(n.path1);
      break;
    }
    case CDirChangeNotification::kRenamed: {
      std::lock_guard lock(Scanner().filesMutex);
      Scan_RemovePath(n.path1);
      AddLocked(n.path2);
      break;
    }
    case CDirChangeNotification::kChangesLost:
      RefreshIfShared(n.path1);  // the refresh takes Scanner().filesMutex itself
      break;
    default:
      // Modified: tags changed inside a file are not read again. The rest are reports
      // about the watch itself.
      break;
  }
}

// The application's handler: the watcher's own lines for the watch's start and stop
// (the base class), and the "applied" callback for everything.
class CLibraryWatcher::Handler : public CDirectoryChangeHandler {
 public:
  explicit Handler(std::shared_ptr<Applied> applied) : applied_(std::move(applied)) {}

  void On_Added(const std::string& path) override {
    Tell({CDirChangeNotification::kAdded, path, {}, 0});
  }
  void On_Removed(const std::string& path) override {
    Tell({CDirChangeNotification::kRemoved, path, {}, 0});
  }
  void On_Modified(const std::string& path) override {
    Tell({CDirChangeNotification::kModified, path, {}, 0});
  }
  void On_Renamed(const std::string& oldPath, const std::string& newPath) override {
    Tell({CDirChangeNotification::kRenamed, oldPath, newPath, 0});
  }
  void On_ReadError(int error, const std::string& folder) override {
    Tell({CDirChangeNotification::kReadError, folder, {}, error});
  }
  void On_WatchBegun(int error, const std::string& folder) override {
    CDirectoryChangeHandler::On_WatchBegun(error, folder);
    Tell({CDirChangeNotification::kWatchBegun, folder, {}, error});
  }
  void On_WatchStopped(const std::string& folder) override {
    CDirectoryChangeHandler::On_WatchStopped(folder);
    Tell({CDirChangeNotification::kWatchStopped, folder, {}, 0});
  }
  void On_ChangesLost(const std::string& folder) override {
    Tell({CDirChangeNotification::kChangesLost, folder, {}, 0});
  }

 private:
  void Tell(const CDirChangeNotification& n) {
    std::function<void(const CDirChangeNotification&)> callback;
    {
      std::lock_guard lock(applied_->mutex);
      callback = applied_->callback;
    }
    if (callback) callback(n);
  }
  std::shared_ptr<Applied> applied_;
};

CLibraryWatcher::CLibraryWatcher() : applied_(std::make_shared<Applied>()), watcher_(ApplyChange) {}

CLibraryWatcher::~CLibraryWatcher() = default;

void CLibraryWatcher::SetChangeApplied(
    std::function<void(const CDirChangeNotification&)> callback) {
  std::lock_guard lock(applied_->mutex);
  applied_->callback = std::move(callback);
}

bool CLibraryWatcher::Watch(const std::string& folder) {
  return watcher_.WatchDirectory(folder, kSharedFolderChangeFilter,
                                 std::make_shared<Handler>(applied_), true) == 0;
}

int CLibraryWatcher::WatchSharedFolders() {
  int begun = 0;
  for (const SharedFolderRecord& shared : db_listSharedFolders()) begun += Watch(shared.DirPath);
  return begun;
}

void CLibraryWatcher::Unwatch(const std::string& folder) { watcher_.UnwatchDirectory(folder); }

void CLibraryWatcher::UnwatchAll() { watcher_.UnwatchAllDirectories(); }

bool CLibraryWatcher::IsWatching(const std::string& folder) const {
  return watcher_.IsWatchingDirectory(folder);
}
