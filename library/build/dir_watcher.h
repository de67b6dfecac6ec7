// The directory watcher: one watcher owns one inotify instance and one monitor thread for
// every watched tree, and reports what changed below each tree through a handler. Every
// directory of a watched tree carries its own inotify watch; directories that appear get
// theirs as they are seen, directories that go lose theirs.
//
// Reports, per watched tree, in the order the changes happened:
// - On_Added: a directory created or moved in; a file moved in, or a file created here
//   once its writer has closed it (a file being copied is reported when it is whole).
// - On_Removed: a file or directory deleted or moved out of the tree.
// - On_Renamed: a file or directory moved within the tree (both names inside it).
// - On_Modified: a file written again, or its attributes changed.
// - On_ChangesLost: the kernel dropped events (queue overflow) or a directory could not
//   be watched (watch limit); what is below the folder must be looked at again.
//
// Threads: WatchDirectory and UnwatchDirectory run on any thread and wait for the monitor
// thread's answer; the monitor thread calls the handler (for the delayed handler that
// only queues a record for its notification thread).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "library/build/delayed_handler.h"
#include "platform/inotify.h"

// The change filter: which changes are reported (the bits of the classic filter word).
inline constexpr uint32_t kChangeFileName = 0x001;  // files added, removed, renamed
inline constexpr uint32_t kChangeDirName = 0x002;   // directories added, removed, renamed
inline constexpr uint32_t kChangeAttributes = 0x004;
inline constexpr uint32_t kChangeSize = 0x008;
inline constexpr uint32_t kChangeLastWrite = 0x010;
inline constexpr uint32_t kChangeLastAccess = 0x020;
inline constexpr uint32_t kChangeCreation = 0x040;
inline constexpr uint32_t kChangeSecurity = 0x100;
// Every change the shared folders are watched for.
inline constexpr uint32_t kSharedFolderChangeFilter = 0x17F;

// One watched tree. Its settings are fixed when it is made; its state changes under its
// lock and is answered through its condition.
class CDirWatchInfo {
 public:
  enum class State { kStartRequested, kRunning, kStopRequested, kStopped, kFailed };

  CDirWatchInfo(std::string path, uint32_t filter, bool subtree,
                std::shared_ptr<CDirectoryChangeHandler> handler, std::string include,
                std::string exclude);
  CDirWatchInfo(const CDirWatchInfo&) = delete;
  CDirWatchInfo& operator=(const CDirWatchInfo&) = delete;

  const std::string& Path() const { return path_; }
  uint32_t Filter() const { return filter_; }
  bool Subtree() const { return subtree_; }
  CDirectoryChangeHandler& Handler() const { return *handler_; }

  void LockProperties() { mutex_.lock(); }
  void UnlockProperties() { mutex_.unlock(); }
  State GetState();
  int LastError();
  // Sets the state (and error) and wakes the thread waiting for the answer.
  void SetState(State state, int error = 0);
  // Waits until `done` holds for the state; false when `timeoutMs` passed first.
  bool WaitUntil(const std::function<bool(State)>& done, uint64_t timeoutMs);

  // Whether a change of `path` passes the include and exclude patterns (";"-separated
  // shell patterns on the name) and the handler's filter test.
  bool Wanted(const std::string& path) const;

 private:
  const std::string path_;
  const uint32_t filter_;
  const bool subtree_;
  const std::shared_ptr<CDirectoryChangeHandler> handler_;
  const std::vector<std::string> include_;
  const std::vector<std::string> exclude_;

  std::mutex mutex_;
  std::condition_variable answered_;
  State state_ = State::kStartRequested;
  int error_ = 0;
};

class CDirectoryChangeWatcher {
 public:
  // `applier` (optional) is run by the notification thread for each report before the
  // application's handler hears of it: the library updates.
  explicit CDirectoryChangeWatcher(ChangeApplier applier = nullptr);
  // Stops every watch and ends both threads.
  ~CDirectoryChangeWatcher();
  CDirectoryChangeWatcher(const CDirectoryChangeWatcher&) = delete;
  CDirectoryChangeWatcher& operator=(const CDirectoryChangeWatcher&) = delete;

  // Watches `dir` (a directory watched already is unwatched first). Returns 0, or an
  // errno value: EINVAL for a missing handler or empty path, ENOTDIR, the error of the
  // first watch, ETIMEDOUT when the monitor thread did not answer.
  int WatchDirectory(const std::string& dir, uint32_t changeFilter,
                     std::shared_ptr<CDirectoryChangeHandler> handler, bool watchSubtree,
                     const std::string& includeFilter = std::string(),
                     const std::string& excludeFilter = std::string());
  // False when `dir` was not watched.
  bool UnwatchDirectory(const std::string& dir);
  void UnwatchAllDirectories();
  bool IsWatchingDirectory(const std::string& dir) const;
  int NumWatchedDirectories() const;

  // Test hooks: feed an event as if the kernel had queued it (an overflow needs no watch
  // descriptor), and make adding chosen watches fail with an errno value.
  void InjectEventForTest(const platform::InotifyEvent& event);
  void SetAddWatchHookForTest(std::function<int(const std::string& path)> hook);
  // The number of directories that carry a watch (asked of the monitor thread).
  size_t WatchedDirectoryCountForTest();
  // Returns when every report made so far has been applied and delivered.
  void DrainNotificationsForTest();

 private:
  enum class RequestKind { kStart, kStop, kCount, kQuit };
  struct Request {
    RequestKind kind;
    std::shared_ptr<CDirWatchInfo> info;
  };
  struct WatchedDir {
    std::string path;
    std::vector<std::shared_ptr<CDirWatchInfo>> owners;
  };
  using Owners = std::vector<std::shared_ptr<CDirWatchInfo>>;

  bool EnsureStarted();
  void Post(Request request);
  bool StopAndWait(const std::shared_ptr<CDirWatchInfo>& info);

  // ---- Monitor thread only ----
  void MonitorDirectoryChanges();
  void HandleRequest(const Request& request);
  void StartWatch(const std::shared_ptr<CDirWatchInfo>& info);
  void StopWatch(const std::shared_ptr<CDirWatchInfo>& info);
  void ProcessChangeNotifications(const std::vector<platform::InotifyEvent>& events);
  void ProcessEvent(const platform::InotifyEvent& event);
  // Watches `root` and the directories below it (for owners that watch subtrees). With
  // `markFiles`, files found are taken as being written (a directory that just appeared
  // may be filling). Returns 0 or the error of watching `root` itself.
  int AddTree(const std::string& root, const Owners& owners, bool markFiles);
  void ForgetWd(int wd);
  // Drops `owner` from every directory (all owners when null) at or below `path`; a
  // directory left without owners loses its watch.
  void DropTree(const std::string& path, const CDirWatchInfo* owner);
  void RenameTree(const std::string& from, const std::string& to);
  void FlushPendingMove();
  void CompleteMove(const std::string& to, const Owners& toOwners);
  void MovedIn(const std::string& path, bool isDir, const Owners& owners);
  void ReportAdded(const Owners& owners, const std::string& path, bool isDir);
  void ReportRemoved(const Owners& owners, const std::string& path, bool isDir);
  void ReportModified(const Owners& owners, const std::string& path);
  void ReportLimitLosses();
  void DropOwnerEverywhere(const CDirWatchInfo* owner);
  std::vector<std::pair<std::string, int>> CollectTree(const std::string& path) const;
  void HandleOverflow();
  void WatchLimitReached(const std::string& path, const Owners& owners);
  void EndWatchOfRoot(const std::shared_ptr<CDirWatchInfo>& info, int error);
  void MarkBeingWritten(const std::string& path);
  // A file found by listing a directory that just appeared: being written, or already
  // whole; SettleFoundFiles reports it once it has stopped changing.
  void NoteFound(const std::string& path);
  void SettleFoundFiles();
  // Carries the marks of a file being written (and found) over to its new name.
  void RenameBeingWritten(const std::string& from, const std::string& to);
  // Milliseconds until the next found file is due for a look; -1 when there is none.
  int FoundFileWaitMs() const;
  static Owners SubtreeOwners(const Owners& owners);

  ChangeApplier applier_;
  std::unique_ptr<CDelayedNotificationThread> dispatcher_;
  std::unique_ptr<platform::Inotify> inotify_;
  std::thread monitor_;
  std::function<int(const std::string&)> addWatchHook_;

  mutable std::mutex mutex_;  // the list, the request queue and the start of the threads
  std::map<std::string, std::shared_ptr<CDirWatchInfo>> watches_;
  std::deque<Request> requests_;
  std::condition_variable counted_;
  size_t countAnswer_ = 0;
  bool countAnswered_ = false;

  // Monitor thread state.
  std::unordered_map<int, WatchedDir> dirs_;
  std::map<std::string, int> wdByPath_;
  std::deque<std::string> writingOrder_;
  std::set<std::string> writing_;
  struct FoundFile {
    int64_t size = 0;
    int64_t modifiedNs = 0;
    uint64_t dueMs = 0;
  };
  std::map<std::string, FoundFile> found_;
  uint64_t nextFoundDueMs_ = UINT64_MAX;
  struct PendingMove {
    bool active = false;
    uint32_t cookie = 0;
    bool isDir = false;
    std::string path;
    Owners owners;
  } move_;
  bool limitReported_ = false;
  Owners limitHit_;
  std::set<int>* resyncVisited_ = nullptr;  // set while an overflow re-walks the trees
  uint64_t overflowGraceUntilMs_ = 0;
  bool quit_ = false;
};
