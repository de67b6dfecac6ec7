#include "library/build/delayed_handler.h"

#include "platform/log.h"
#include "platform/thread.h"

void CDirectoryChangeHandler::On_Added(const std::string&) {}
void CDirectoryChangeHandler::On_Removed(const std::string&) {}
void CDirectoryChangeHandler::On_Modified(const std::string&) {}
void CDirectoryChangeHandler::On_Renamed(const std::string&, const std::string&) {}
void CDirectoryChangeHandler::On_ReadError(int, const std::string&) {}

void CDirectoryChangeHandler::On_WatchBegun(int error, const std::string& folder) {
  if (error == 0) {
    platform::Logf("A watch has begun on the following directory: %s\n", folder.c_str());
  } else {
    platform::Logf("A watch failed to start on the following directory: (Error: %d) %s\n", error,
                   folder.c_str());
  }
}

void CDirectoryChangeHandler::On_WatchStopped(const std::string& folder) {
  platform::Logf("The watch on the following directory has stopped: %s\n", folder.c_str());
}

bool CDirectoryChangeHandler::On_FilterNotification(const std::string&) { return true; }
void CDirectoryChangeHandler::On_ChangesLost(const std::string&) {}

void CDirChangeNotification::Replay(CDirectoryChangeHandler& handler) const {
  switch (kind) {
    case CDirChangeNotification::kAdded:
      handler.On_Added(path1);
      break;
    case CDirChangeNotification::kRemoved:
      handler.On_Removed(path1);
      break;
    case CDirChangeNotification::kModified:
      handler.On_Modified(path1);
      break;
    case CDirChangeNotification::kRenamed:
      handler.On_Renamed(path1, path2);
      break;
    case CDirChangeNotification::kReadError:
      handler.On_ReadError(error, path1);
      break;
    case CDirChangeNotification::kWatchBegun:
      handler.On_WatchBegun(error, path1);
      break;
    case CDirChangeNotification::kWatchStopped:
      handler.On_WatchStopped(path1);
      break;
    case CDirChangeNotification::kChangesLost:
      handler.On_ChangesLost(path1);
      break;
  }
}

// ---- CDelayedNotificationThread ----

CDelayedNotificationThread::CDelayedNotificationThread() : thread_([this] { Run(); }) {}

CDelayedNotificationThread::~CDelayedNotificationThread() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    jobs_.clear();
  }
  changed_.notify_all();
  thread_.join();
}

void CDelayedNotificationThread::Post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    jobs_.push_back(std::move(job));
    ++posted_;
  }
  changed_.notify_all();
}

void CDelayedNotificationThread::Drain() {
  std::unique_lock lock(mutex_);
  uint64_t target = posted_;
  changed_.wait(lock, [&] { return done_ >= target || stop_; });
}

void CDelayedNotificationThread::Run() {
  platform::SetCurrentThreadName("watch-notify");
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
    if (stop_) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
    ++done_;
    changed_.notify_all();
  }
}

// ---- CDelayedDirectoryChangeHandler ----

CDelayedDirectoryChangeHandler::CDelayedDirectoryChangeHandler(
    std::shared_ptr<CDirectoryChangeHandler> real, CDelayedNotificationThread* dispatcher,
    ChangeApplier applier)
    : real_(std::move(real)), dispatcher_(dispatcher), applier_(std::move(applier)) {}

void CDelayedDirectoryChangeHandler::Post(CDirChangeNotification n) {
  dispatcher_->Post([real = real_, applier = applier_, n = std::move(n)] {
    if (applier) applier(n);
    n.Replay(*real);
  });
}

void CDelayedDirectoryChangeHandler::On_Added(const std::string& path) {
  Post({CDirChangeNotification::kAdded, path, {}, 0});
}

void CDelayedDirectoryChangeHandler::On_Removed(const std::string& path) {
  Post({CDirChangeNotification::kRemoved, path, {}, 0});
}

void CDelayedDirectoryChangeHandler::On_Modified(const std::string& path) {
  Post({CDirChangeNotification::kModified, path, {}, 0});
}

void CDelayedDirectoryChangeHandler::On_Renamed(const std::string& oldPath,
                                                const std::string& newPath) {
  Post({CDirChangeNotification::kRenamed, oldPath, newPath, 0});
}

void CDelayedDirectoryChangeHandler::On_ReadError(int error, const std::string& folder) {
  Post({CDirChangeNotification::kReadError, folder, {}, error});
}

void CDelayedDirectoryChangeHandler::On_WatchBegun(int error, const std::string& folder) {
  Post({CDirChangeNotification::kWatchBegun, folder, {}, error});
}

void CDelayedDirectoryChangeHandler::On_WatchStopped(const std::string& folder) {
  Post({CDirChangeNotification::kWatchStopped, folder, {}, 0});
}

bool CDelayedDirectoryChangeHandler::On_FilterNotification(const std::string& path) {
  return real_->On_FilterNotification(path);
}

void CDelayedDirectoryChangeHandler::On_ChangesLost(const std::string& folder) {
  Post({CDirChangeNotification::kChangesLost, folder, {}, 0});
}
