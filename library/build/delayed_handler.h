// The handler interface of the directory watcher, and the delayed handler that moves each
// report off the monitor thread: the report becomes a CDirChangeNotification record, the
// notification thread applies it (the library update) and then replays it on the
// application's handler. Records are handled one at a time in the order they were made.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Receives the watcher's reports. The defaults write the watcher's own lines for the
// start, stop and failure of a watch and ignore the rest.
class CDirectoryChangeHandler {
 public:
  virtual ~CDirectoryChangeHandler() = default;
  virtual void On_Added(const std::string& path);
  virtual void On_Removed(const std::string& path);
  virtual void On_Modified(const std::string& path);
  virtual void On_Renamed(const std::string& oldPath, const std::string& newPath);
  virtual void On_ReadError(int error, const std::string& folder);
  virtual void On_WatchBegun(int error, const std::string& folder);
  virtual void On_WatchStopped(const std::string& folder);
  // Whether a change of `path` is reported at all.
  virtual bool On_FilterNotification(const std::string& path);
  // Changes below `folder` may have been missed (the kernel's queue overflowed, or a
  // directory could not be watched).
  virtual void On_ChangesLost(const std::string& folder);
};

struct CDirChangeNotification {
  enum Kind {
    kAdded = 1,
    kRemoved = 2,
    kModified = 3,
    kRenamed = 4,
    kReadError = 5,
    kWatchBegun = 6,
    kWatchStopped = 7,
    kChangesLost = 8,
  };
  Kind kind = kAdded;
  std::string path1;  // the path, the old path of a rename, or the watched folder
  std::string path2;  // the new path of a rename
  int error = 0;

  // Calls `handler`'s operation for the record.
  void Replay(CDirectoryChangeHandler& handler) const;
};

// Applies a record before it is replayed (the library updates); runs on the notification
// thread.
using ChangeApplier = std::function<void(const CDirChangeNotification&)>;

// The dispatcher: one worker thread that runs posted jobs in order.
class CDelayedNotificationThread {
 public:
  CDelayedNotificationThread();
  // Runs the job being run to its end, drops the rest and joins the thread.
  ~CDelayedNotificationThread();
  CDelayedNotificationThread(const CDelayedNotificationThread&) = delete;
  CDelayedNotificationThread& operator=(const CDelayedNotificationThread&) = delete;

  void Post(std::function<void()> job);
  // Waits until every job posted before the call has run.
  void Drain();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
  uint64_t posted_ = 0;
  uint64_t done_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

class CDelayedDirectoryChangeHandler : public CDirectoryChangeHandler {
 public:
  CDelayedDirectoryChangeHandler(std::shared_ptr<CDirectoryChangeHandler> real,
                                 CDelayedNotificationThread* dispatcher, ChangeApplier applier);

  void On_Added(const std::string& path) override;
  void On_Removed(const std::string& path) override;
  void On_Modified(const std::string& path) override;
  void On_Renamed(const std::string& oldPath, const std::string& newPath) override;
  void On_ReadError(int error, const std::string& folder) override;
  void On_WatchBegun(int error, const std::string& folder) override;
  void On_WatchStopped(const std::string& folder) override;
  // Asked on the monitor thread, of the real handler.
  bool On_FilterNotification(const std::string& path) override;
  void On_ChangesLost(const std::string& folder) override;

 private:
  void Post(CDirChangeNotification n);

  std::shared_ptr<CDirectoryChangeHandler> real_;
  CDelayedNotificationThread* dispatcher_;
  ChangeApplier applier_;
};
