#include "library/build/dir_watcher.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "library/build/watch_limits.h"
#include "platform/dir_walk.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

// Everything the watcher needs from the kernel, whatever the change filter says: the
// directory events keep the tree's watches current, and the filter is applied when a
// change is reported. Access times are not watched: a file being streamed would flood
// the queue, and they change nothing the library shows.
constexpr uint32_t kWatchMask = platform::kInCreate | platform::kInDelete | platform::kInMovedFrom |
                                platform::kInMovedTo | platform::kInCloseWrite |
                                platform::kInAttrib | platform::kInDeleteSelf |
                                platform::kInMoveSelf | platform::kInOnlyDir;

constexpr uint32_t kModifiedFilterBits = kChangeAttributes | kChangeSize | kChangeLastWrite |
                                         kChangeLastAccess | kChangeCreation | kChangeSecurity;

std::vector<std::string> SplitPatterns(const std::string& list) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(';', pos);
    if (end == std::string::npos) end = list.size();
    if (end > pos) out.push_back(list.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

bool MatchesAny(const std::vector<std::string>& patterns, const std::string& name) {
  for (const std::string& p : patterns) {
    if (::fnmatch(p.c_str(), name.c_str(), FNM_CASEFOLD) == 0) return true;
  }
  return false;
}

std::string NormalizedDir(const std::string& dir) {
  return std::string(platform::WithoutTrailingSlashes(dir));
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

bool IsAtOrBelow(const std::string& path, const std::string& root) {
  if (path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || path[root.size()] == '/' || root == "/";
}

bool Contains(const std::vector<std::shared_ptr<CDirWatchInfo>>& owners, const CDirWatchInfo* o) {
  for (const auto& x : owners) {
    if (x.get() == o) return true;
  }
  return false;
}

void AddOwners(std::vector<std::shared_ptr<CDirWatchInfo>>* to,
               const std::vector<std::shared_ptr<CDirWatchInfo>>& from) {
  for (const auto& o : from) {
    if (!Contains(*to, o.get())) to->push_back(o);
  }
}

bool Running(CDirWatchInfo& info) { return info.GetState() == CDirWatchInfo::State::kRunning; }

}  // namespace

// ---- CDirWatchInfo ----

CDirWatchInfo::CDirWatchInfo(std::string path, uint32_t filter, bool subtree,
                             std::shared_ptr<CDirectoryChangeHandler> handler, std::string include,
                             std::string exclude)
    : path_(std::move(path)),
      filter_(filter),
      subtree_(subtree),
      handler_(std::move(handler)),
      include_(SplitPatterns(include)),
      exclude_(SplitPatterns(exclude)) {}

CDirWatchInfo::State CDirWatchInfo::GetState() {
  std::lock_guard lock(mutex_);
  return state_;
}

int CDirWatchInfo::LastError() {
  std::lock_guard lock(mutex_);
  return error_;
}

void CDirWatchInfo::SetState(State state, int error) {
  {
    std::lock_guard lock(mutex_);
    state_ = state;
    error_ = error;
  }
  answered_.notify_all();
}

bool CDirWatchInfo::WaitUntil(const std::function<bool(State)>& done, uint64_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return answered_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return done(state_); });
}

bool CDirWatchInfo::Wanted(const std::string& path) const {
  std::string name = path.substr(path.rfind('/') + 1);
  if (!include_.empty() && !MatchesAny(include_, name)) return false;
  if (MatchesAny(exclude_, name)) return false;
  return handler_->On_FilterNotification(path);
}

// ---- CDirectoryChangeWatcher: the callers' side ----

CDirectoryChangeWatcher::CDirectoryChangeWatcher(ChangeApplier applier)
    : applier_(std::move(applier)) {}

CDirectoryChangeWatcher::~CDirectoryChangeWatcher() {
  UnwatchAllDirectories();
  if (monitor_.joinable()) {
    Post({RequestKind::kQuit, nullptr});
    monitor_.join();
  }
  dispatcher_.reset();
  inotify_.reset();
}

bool CDirectoryChangeWatcher::EnsureStarted() {
  std::lock_guard lock(mutex_);
  if (monitor_.joinable()) return true;
  if (!inotify_) {
    auto inotify = std::make_unique<platform::Inotify>();
    if (!inotify->Valid()) {
      platform::Logf(
          "ERROR -- Unable to create I/O Completion port! GetLastError(): %d File: %s Line: %d",
          inotify->Error(), __FILE__, __LINE__);
      return false;
    }
    if (addWatchHook_) inotify->SetAddWatchHookForTest(addWatchHook_);
    inotify_ = std::move(inotify);
  }
  if (!dispatcher_) dispatcher_ = std::make_unique<CDelayedNotificationThread>();
  try {
    monitor_ = std::thread([this] { MonitorDirectoryChanges(); });
  } catch (const std::system_error&) {
    platform::Log("CDirectoryChangeWatcher::WatchDirectory()-- AfxBeginThread failed!\n");
    return false;
  }
  return true;
}

void CDirectoryChangeWatcher::Post(Request request) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
  }
  inotify_->Wake();
}

int CDirectoryChangeWatcher::WatchDirectory(const std::string& dir, uint32_t changeFilter,
                                            std::shared_ptr<CDirectoryChangeHandler> handler,
                                            bool watchSubtree, const std::string& includeFilter,
                                            const std::string& excludeFilter) {
  if (!handler || dir.empty()) {
    platform::Log(
        "ERROR: You've passed invalid parameters to CDirectoryChangeWatcher::WatchDirectory()\n");
    return EINVAL;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    platform::Logf("ERROR: CDirectoryChangeWatcher::WatchDirectory() -- %s is not a directory!\n",
                   dir.c_str());
    return ENOTDIR;
  }
  std::string path = NormalizedDir(dir);
  if (IsWatchingDirectory(path)) UnwatchDirectory(path);
  if (!EnsureStarted()) return EAGAIN;

  auto delayed =
      std::make_shared<CDelayedDirectoryChangeHandler>(handler, dispatcher_.get(), applier_);
  auto info = std::make_shared<CDirWatchInfo>(path, changeFilter, watchSubtree, delayed,
                                              includeFilter, excludeFilter);
  Post({RequestKind::kStart, info});
  bool answered = info->WaitUntil(
      [](CDirWatchInfo::State s) { return s != CDirWatchInfo::State::kStartRequested; },
      watch_limits::kAnswerTimeoutMs);
  if (!answered) {
    platform::Logf("WARNING: Possible Deadlock detected! ThreadID: %d File: %s Line: %d\n",
                   static_cast<int>(::gettid()), __FILE__, __LINE__);
    Post({RequestKind::kStop, info});  // the start, when it comes, is undone at once
    return ETIMEDOUT;
  }
  int error = info->LastError();
  if (error != 0) {
    platform::Logf(
        "CDirectoryChangeWatcher::WatchDirectory() -- Couldn't open directory for "
        "monitoring. %d\n",
        error);
  }
  std::lock_guard lock(mutex_);
  watches_[path] = info;
  return error;
}

bool CDirectoryChangeWatcher::StopAndWait(const std::shared_ptr<CDirWatchInfo>& info) {
  Post({RequestKind::kStop, info});
  bool answered =
      info->WaitUntil([](CDirWatchInfo::State s) { return s == CDirWatchInfo::State::kStopped; },
                      watch_limits::kAnswerTimeoutMs);
  if (!answered) {
    platform::Logf("WARNING: Possible Deadlock detected! ThreadID: %d File: %s Line: %d\n",
                   static_cast<int>(::gettid()), __FILE__, __LINE__);
  }
  return answered;
}

bool CDirectoryChangeWatcher::UnwatchDirectory(const std::string& dir) {
  std::shared_ptr<CDirWatchInfo> info;
  {
    std::lock_guard lock(mutex_);
    auto it = watches_.find(NormalizedDir(dir));
    if (it == watches_.end()) return false;
    info = it->second;
    watches_.erase(it);
  }
  StopAndWait(info);
  return true;
}

void CDirectoryChangeWatcher::UnwatchAllDirectories() {
  std::map<std::string, std::shared_ptr<CDirWatchInfo>> all;
  {
    std::lock_guard lock(mutex_);
    all.swap(watches_);
  }
  for (auto& [path, info] : all) StopAndWait(info);
}

bool CDirectoryChangeWatcher::IsWatchingDirectory(const std::string& dir) const {
  std::lock_guard lock(mutex_);
  return watches_.count(NormalizedDir(dir)) > 0;
}

int CDirectoryChangeWatcher::NumWatchedDirectories() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(watches_.size());
}

void CDirectoryChangeWatcher::InjectEventForTest(const platform::InotifyEvent& event) {
  if (EnsureStarted()) inotify_->InjectForTest(event);
}

void CDirectoryChangeWatcher::SetAddWatchHookForTest(
    std::function<int(const std::string& path)> hook) {
  std::lock_guard lock(mutex_);
  addWatchHook_ = hook;
  if (inotify_) inotify_->SetAddWatchHookForTest(std::move(hook));
}

size_t CDirectoryChangeWatcher::WatchedDirectoryCountForTest() {
  if (!EnsureStarted()) return 0;
  {
    std::lock_guard lock(mutex_);
    countAnswered_ = false;
  }
  Post({RequestKind::kCount, nullptr});
  std::unique_lock lock(mutex_);
  counted_.wait(lock, [this] { return countAnswered_; });
  return countAnswer_;
}

void CDirectoryChangeWatcher::DrainNotificationsForTest() {
  if (!EnsureStarted()) return;
  // A round trip through the monitor thread first, so that what it has read is posted.
  WatchedDirectoryCountForTest();
  dispatcher_->Drain();
}

// ---- The monitor thread ----

void CDirectoryChangeWatcher::MonitorDirectoryChanges() {
  platform::SetCurrentThreadName("watch-monitor");
  std::vector<platform::InotifyEvent> events;
  while (!quit_) {
    events.clear();
    bool woken = false;
    int rc = inotify_->Wait(move_.active ? watch_limits::kMovePairWaitMs : FoundFileWaitMs(),
                            &events, &woken);
    if (rc < 0) {
      platform::Logf("watcher: reading changes failed: %d\n", -rc);
      platform::SleepMs(100);
    }
    ProcessChangeNotifications(events);
    if (events.empty() && !woken) FlushPendingMove();  // the partner did not come in time

    std::deque<Request> requests;
    {
      std::lock_guard lock(mutex_);
      requests.swap(requests_);
    }
    if (!requests.empty()) FlushPendingMove();
    for (const Request& r : requests) HandleRequest(r);
    SettleFoundFiles();
  }
}

void CDirectoryChangeWatcher::HandleRequest(const Request& request) {
  switch (request.kind) {
    case RequestKind::kStart:
      StartWatch(request.info);
      break;
    case RequestKind::kStop:
      StopWatch(request.info);
      break;
    case RequestKind::kCount: {
      std::lock_guard lock(mutex_);
      countAnswer_ = dirs_.size();
      countAnswered_ = true;
      counted_.notify_all();
      break;
    }
    case RequestKind::kQuit:
      quit_ = true;
      break;
  }
}

void CDirectoryChangeWatcher::StartWatch(const std::shared_ptr<CDirWatchInfo>& info) {
  if (info->GetState() != CDirWatchInfo::State::kStartRequested) return;
  int error = AddTree(info->Path(), {info}, false);
  limitHit_.clear();  // nothing was missed yet: the tree was scanned before it was watched
  if (error != 0) {
    info->SetState(CDirWatchInfo::State::kFailed, error);
  } else {
    info->SetState(CDirWatchInfo::State::kRunning, 0);
  }
  info->Handler().On_WatchBegun(error, info->Path());
}

void CDirectoryChangeWatcher::StopWatch(const std::shared_ptr<CDirWatchInfo>& info) {
  DropOwnerEverywhere(info.get());
  info->SetState(CDirWatchInfo::State::kStopped, 0);
  info->Handler().On_WatchStopped(info->Path());
}

void CDirectoryChangeWatcher::ProcessChangeNotifications(
    const std::vector<platform::InotifyEvent>& events) {
  for (const platform::InotifyEvent& e : events) ProcessEvent(e);
  ReportLimitLosses();
}

void CDirectoryChangeWatcher::ProcessEvent(const platform::InotifyEvent& e) {
  if (e.mask & platform::kInQueueOverflow) {
    FlushPendingMove();
    HandleOverflow();
    return;
  }
  auto it = dirs_.find(e.wd);
  if (it == dirs_.end()) return;  // a watch already dropped
  const WatchedDir dir = it->second;
  if (e.mask & platform::kInIgnored) {
    // The directory is gone (or its watch was removed). A tree whose root went ends.
    ForgetWd(e.wd);
    for (const auto& owner : dir.owners) {
      if (owner->Path() == dir.path && Running(*owner)) EndWatchOfRoot(owner, ENOENT);
    }
    return;
  }
  if (e.name.empty()) {
    // About the directory itself. A root moved away leaves its paths wrong: that watch
    // ends. Other directories' moves are seen in their parents.
    if (e.mask & platform::kInMoveSelf) {
      for (const auto& owner : dir.owners) {
        if (owner->Path() == dir.path && Running(*owner)) EndWatchOfRoot(owner, ENOENT);
      }
    }
    return;
  }
  std::string path = JoinPath(dir.path, e.name);
  bool isDir = (e.mask & platform::kInIsDir) != 0;

  if (e.mask & platform::kInMovedTo) {
    if (move_.active && move_.cookie == e.cookie) {
      CompleteMove(path, dir.owners);
    } else {
      FlushPendingMove();
      MovedIn(path, isDir, dir.owners);
    }
    return;
  }
  FlushPendingMove();
  if (e.mask & platform::kInMovedFrom) {
    move_.active = true;
    move_.cookie = e.cookie;
    move_.isDir = isDir;
    move_.path = path;
    move_.owners = dir.owners;
    return;
  }
  if (e.mask & platform::kInCreate) {
    if (isDir) {
      Owners sub = SubtreeOwners(dir.owners);
      if (!sub.empty()) AddTree(path, sub, true);
      ReportAdded(dir.owners, path, true);
      return;
    }
    // A file is reported when its writer closes it. Links are whole at once: a symbolic
    // link, or a second name of an existing file, is never written through.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || st.st_nlink > 1)) {
      ReportAdded(dir.owners, path, false);
    } else {
      MarkBeingWritten(path);
    }
    return;
  }
  if (e.mask & platform::kInCloseWrite) {
    bool arrived = writing_.erase(path) > 0 || platform::TickCountMs() < overflowGraceUntilMs_;
    if (arrived) {
      ReportAdded(dir.owners, path, false);
    } else {
      ReportModified(dir.owners, path);
    }
    return;
  }
  if (e.mask & platform::kInAttrib) {
    ReportModified(dir.owners, path);
    return;
  }
  if (e.mask & platform::kInDelete) {
    writing_.erase(path);
    if (isDir) DropTree(path, nullptr);
    ReportRemoved(dir.owners, path, isDir);
  }
}

void CDirectoryChangeWatcher::MarkBeingWritten(const std::string& path) {
  if (!writing_.insert(path).second) return;
  writingOrder_.push_back(path);
  while (writing_.size() > watch_limits::kMaxFilesBeingWritten && !writingOrder_.empty()) {
    writing_.erase(writingOrder_.front());
    writingOrder_.pop_front();
  }
  // Names already reported leave stale entries in the order; compact it now and then.
  if (writingOrder_.size() > 2 * watch_limits::kMaxFilesBeingWritten) {
    std::deque<std::string> kept;
    for (std::string& p : writingOrder_) {
      if (writing_.count(p)) kept.push_back(std::move(p));
    }
    writingOrder_.swap(kept);
  }
}

namespace {

bool StatOf(const std::string& path, int64_t* size, int64_t* modifiedNs) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  *size = st.st_size;
  *modifiedNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

}  // namespace

void CDirectoryChangeWatcher::NoteFound(const std::string& path) {
  FoundFile file;
  if (!StatOf(path, &file.size, &file.modifiedNs)) return;
  file.dueMs = platform::TickCountMs() + watch_limits::kFoundFileSettleMs;
  nextFoundDueMs_ = std::min(nextFoundDueMs_, file.dueMs);
  found_[path] = file;
}

void CDirectoryChangeWatcher::RenameBeingWritten(const std::string& from, const std::string& to) {
  writing_.erase(from);
  MarkBeingWritten(to);
  auto found = found_.extract(from);
  if (found) {
    found.key() = to;
    found_.insert(std::move(found));
  }
}

int CDirectoryChangeWatcher::FoundFileWaitMs() const {
  if (found_.empty()) return -1;
  uint64_t now = platform::TickCountMs();
  return nextFoundDueMs_ <= now ? 0 : static_cast<int>(nextFoundDueMs_ - now);
}

void CDirectoryChangeWatcher::SettleFoundFiles() {
  uint64_t now = platform::TickCountMs();
  if (found_.empty() || now < nextFoundDueMs_) return;
  nextFoundDueMs_ = UINT64_MAX;
  for (auto it = found_.begin(); it != found_.end();) {
    const std::string& path = it->first;
    FoundFile& file = it->second;
    // Closed (and reported), moved or removed meanwhile: the events took care of it.
    if (!writing_.count(path)) {
      it = found_.erase(it);
      continue;
    }
    if (now < file.dueMs) {
      nextFoundDueMs_ = std::min(nextFoundDueMs_, file.dueMs);
      ++it;
      continue;
    }
    int64_t size = 0, modifiedNs = 0;
    bool exists = StatOf(path, &size, &modifiedNs);
    if (exists && (size != file.size || modifiedNs != file.modifiedNs)) {
      file = {size, modifiedNs, now + watch_limits::kFoundFileSettleMs};
      nextFoundDueMs_ = std::min(nextFoundDueMs_, file.dueMs);
      ++it;
      continue;
    }
    writing_.erase(path);
    auto wd = wdByPath_.find(path.substr(0, path.rfind('/')));
    auto dir = wd == wdByPath_.end() ? dirs_.end() : dirs_.find(wd->second);
    if (exists && dir != dirs_.end()) ReportAdded(dir->second.owners, path, false);
    it = found_.erase(it);
  }
}

CDirectoryChangeWatcher::Owners CDirectoryChangeWatcher::SubtreeOwners(const Owners& owners) {
  Owners sub;
  for (const auto& o : owners) {
    if (o->Subtree()) sub.push_back(o);
  }
  return sub;
}

int CDirectoryChangeWatcher::AddTree(const std::string& root, const Owners& owners,
                                     bool markFiles) {
  Owners sub = SubtreeOwners(owners);
  std::vector<std::string> stack{root};
  int rootError = 0;
  bool first = true;
  while (!stack.empty()) {
    std::string path = std::move(stack.back());
    stack.pop_back();
    const Owners& mine = first ? owners : sub;
    bool isRoot = first;
    first = false;
    int wd = inotify_->AddWatch(path, kWatchMask);
    if (wd < 0) {
      if (isRoot) rootError = -wd;
      if (-wd == ENOSPC) WatchLimitReached(path, mine);
      continue;  // other errors: the directory went away meanwhile
    }
    auto [it, inserted] = dirs_.try_emplace(wd);
    WatchedDir& d = it->second;
    bool visitedBefore = resyncVisited_ != nullptr && !resyncVisited_->insert(wd).second;
    if (inserted) {
      d.path = path;
      wdByPath_[path] = wd;
    } else if (d.path != path) {
      if (resyncVisited_ != nullptr && !visitedBefore) {
        // A directory moved while its events were lost: it keeps its watch, under its
        // new name.
        auto old = wdByPath_.find(d.path);
        if (old != wdByPath_.end() && old->second == wd) wdByPath_.erase(old);
        d.path = path;
        wdByPath_[path] = wd;
      } else {
        // A second name of a directory watched already (a link): entered once only.
        AddOwners(&d.owners, mine);
        continue;
      }
    }
    AddOwners(&d.owners, mine);
    if (sub.empty() && !markFiles) continue;
    platform::DirListing listing = platform::ListDirectory(path);
    for (const platform::DirEntry& entry : listing.entries) {
      if (entry.isDirectory) {
        // Hidden folders are never part of the library; their changes are not needed.
        if (!sub.empty() && !entry.isHidden) stack.push_back(entry.path);
      } else if (markFiles) {
        MarkBeingWritten(entry.path);
        NoteFound(entry.path);
      }
    }
  }
  return rootError;
}

void CDirectoryChangeWatcher::ForgetWd(int wd) {
  auto it = dirs_.find(wd);
  if (it == dirs_.end()) return;
  auto byPath = wdByPath_.find(it->second.path);
  if (byPath != wdByPath_.end() && byPath->second == wd) wdByPath_.erase(byPath);
  dirs_.erase(it);
}

std::vector<std::pair<std::string, int>> CDirectoryChangeWatcher::CollectTree(
    const std::string& path) const {
  std::vector<std::pair<std::string, int>> out;
  for (auto it = wdByPath_.lower_bound(path);
       it != wdByPath_.end() && it->first.compare(0, path.size(), path) == 0; ++it) {
    if (IsAtOrBelow(it->first, path)) out.emplace_back(it->first, it->second);
  }
  return out;
}

void CDirectoryChangeWatcher::DropTree(const std::string& path, const CDirWatchInfo* owner) {
  for (const auto& [p, wd] : CollectTree(path)) {
    auto it = dirs_.find(wd);
    if (it == dirs_.end()) continue;
    Owners& owners = it->second.owners;
    if (owner == nullptr) {
      owners.clear();
    } else {
      owners.erase(std::remove_if(owners.begin(), owners.end(),
                                  [&](const auto& o) { return o.get() == owner; }),
                   owners.end());
    }
    if (owners.empty()) {
      inotify_->RemoveWatch(wd);
      ForgetWd(wd);
    }
  }
}

void CDirectoryChangeWatcher::DropOwnerEverywhere(const CDirWatchInfo* owner) {
  std::vector<int> emptied;
  for (auto& [wd, d] : dirs_) {
    d.owners.erase(std::remove_if(d.owners.begin(), d.owners.end(),
                                  [&](const auto& o) { return o.get() == owner; }),
                   d.owners.end());
    if (d.owners.empty()) emptied.push_back(wd);
  }
  for (int wd : emptied) {
    inotify_->RemoveWatch(wd);
    ForgetWd(wd);
  }
  if (Contains(move_.owners, owner)) {
    move_.owners.erase(std::remove_if(move_.owners.begin(), move_.owners.end(),
                                      [&](const auto& o) { return o.get() == owner; }),
                       move_.owners.end());
  }
}

void CDirectoryChangeWatcher::RenameTree(const std::string& from, const std::string& to) {
  for (const auto& [p, wd] : CollectTree(from)) {
    std::string renamed = to + p.substr(from.size());
    wdByPath_.erase(p);
    wdByPath_[renamed] = wd;
    auto it = dirs_.find(wd);
    if (it != dirs_.end()) it->second.path = renamed;
  }
  std::vector<std::string> moved;
  for (const std::string& w : writing_) {
    if (IsAtOrBelow(w, from)) moved.push_back(w);
  }
  for (const std::string& w : moved) RenameBeingWritten(w, to + w.substr(from.size()));
}

void CDirectoryChangeWatcher::FlushPendingMove() {
  if (!move_.active) return;
  move_.active = false;
  // Moved out of every watched tree: for its watchers it is gone.
  if (move_.isDir) {
    DropTree(move_.path, nullptr);
  } else {
    writing_.erase(move_.path);
  }
  ReportRemoved(move_.owners, move_.path, move_.isDir);
  move_.owners.clear();
}

void CDirectoryChangeWatcher::MovedIn(const std::string& path, bool isDir, const Owners& owners) {
  if (isDir) {
    Owners sub = SubtreeOwners(owners);
    if (!sub.empty()) AddTree(path, sub, false);
  }
  ReportAdded(owners, path, isDir);
}

void CDirectoryChangeWatcher::CompleteMove(const std::string& to, const Owners& toOwners) {
  move_.active = false;
  std::string from = move_.path;
  Owners fromOwners = std::move(move_.owners);
  move_.owners.clear();
  bool isDir = move_.isDir;
  if (isDir) {
    RenameTree(from, to);
    // The moved tree now belongs to the watchers of its new parent.
    Owners sub = SubtreeOwners(toOwners);
    for (const auto& o : fromOwners) {
      if (!Contains(sub, o.get())) DropTree(to, o.get());
    }
    if (!sub.empty()) AddTree(to, sub, false);
  } else if (writing_.count(from)) {
    RenameBeingWritten(from, to);
  }
  uint32_t bit = isDir ? kChangeDirName : kChangeFileName;
  Owners all = fromOwners;
  AddOwners(&all, toOwners);
  for (const auto& o : all) {
    if (!Running(*o) || (o->Filter() & bit) == 0) continue;
    bool inFrom = Contains(fromOwners, o.get());
    bool inTo = Contains(toOwners, o.get());
    if (inFrom && inTo) {
      if (o->Wanted(to) || o->Wanted(from)) o->Handler().On_Renamed(from, to);
    } else if (inFrom) {
      if (o->Wanted(from)) o->Handler().On_Removed(from);
    } else if (o->Wanted(to)) {
      o->Handler().On_Added(to);
    }
  }
}

void CDirectoryChangeWatcher::ReportAdded(const Owners& owners, const std::string& path,
                                          bool isDir) {
  uint32_t bit = isDir ? kChangeDirName : kChangeFileName;
  for (const auto& o : owners) {
    if (Running(*o) && (o->Filter() & bit) && o->Wanted(path)) o->Handler().On_Added(path);
  }
}

void CDirectoryChangeWatcher::ReportRemoved(const Owners& owners, const std::string& path,
                                            bool isDir) {
  uint32_t bit = isDir ? kChangeDirName : kChangeFileName;
  for (const auto& o : owners) {
    if (Running(*o) && (o->Filter() & bit) && o->Wanted(path)) o->Handler().On_Removed(path);
  }
}

void CDirectoryChangeWatcher::ReportModified(const Owners& owners, const std::string& path) {
  for (const auto& o : owners) {
    if (Running(*o) && (o->Filter() & kModifiedFilterBits) && o->Wanted(path)) {
      o->Handler().On_Modified(path);
    }
  }
}

void CDirectoryChangeWatcher::HandleOverflow() {
  platform::Log(
      "WARNING: the queue of file system changes overflowed; the watched folders "
      "are looked at again\n");
  overflowGraceUntilMs_ = platform::TickCountMs() + watch_limits::kOverflowGraceMs;
  Owners running;
  for (auto& [wd, d] : dirs_) {
    for (const auto& o : d.owners) {
      if (Running(*o) && !Contains(running, o.get())) running.push_back(o);
    }
  }
  // Directories made, moved or removed in the lost stretch: walk every tree again, then
  // drop the watches of directories no walk reached.
  std::set<int> visited;
  resyncVisited_ = &visited;
  for (const auto& o : running) AddTree(o->Path(), {o}, false);
  resyncVisited_ = nullptr;
  std::vector<int> stale;
  for (const auto& [wd, d] : dirs_) {
    if (!visited.count(wd)) stale.push_back(wd);
  }
  for (int wd : stale) {
    inotify_->RemoveWatch(wd);
    ForgetWd(wd);
  }
  std::vector<std::string> gone;
  for (const std::string& w : writing_) {
    struct stat st {};
    if (::lstat(w.c_str(), &st) != 0) gone.push_back(w);
  }
  for (const std::string& w : gone) writing_.erase(w);
  limitHit_.clear();  // the folders are looked at again as a whole anyway
  for (const auto& o : running) o->Handler().On_ChangesLost(o->Path());
}

void CDirectoryChangeWatcher::WatchLimitReached(const std::string& path, const Owners& owners) {
  if (!limitReported_) {
    limitReported_ = true;
    platform::Logf(
        "WARNING: the limit of inotify watches (%ld) is reached; changes below %s "
        "cannot be seen. Raise it with: sysctl %s=<number>\n",
        platform::InotifyMaxUserWatches(), path.c_str(), watch_limits::kWatchLimitSysctl);
  }
  AddOwners(&limitHit_, owners);
}

void CDirectoryChangeWatcher::ReportLimitLosses() {
  Owners hit;
  hit.swap(limitHit_);
  for (const auto& o : hit) {
    if (Running(*o)) o->Handler().On_ChangesLost(o->Path());
  }
}

void CDirectoryChangeWatcher::EndWatchOfRoot(const std::shared_ptr<CDirWatchInfo>& info,
                                             int error) {
  platform::Logf(
      "WARNING: ReadDirectoryChangesW has failed during normal operations...failed "
      "on directory: %s\n",
      info->Path().c_str());
  DropOwnerEverywhere(info.get());
  info->SetState(CDirWatchInfo::State::kFailed, error);
  info->Handler().On_ReadError(error, info->Path());
}
