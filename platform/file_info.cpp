#include "platform/file_info.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string_view>

#include "platform/inotify.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

// Paths one memo keeps at most: an answer of every object of a large folder must not
// grow it without bound; past this, look-ups simply go to the file system.
constexpr size_t kMemoPaths = 4096;

thread_local FileLookupMemo* t_memo = nullptr;

bool LookDirect(const std::string& path, struct statx* out) {
  return ::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
                 out) == 0;
}

bool Look(const std::string& path, struct statx* out, bool nameOnly = false) {
  return t_memo != nullptr ? t_memo->Look(path, out, nameOnly) : LookDirect(path, out);
}

// A folder's stamp stands for its names only once its last change is this old: a change
// within the same tick of the file system's clock could leave its times as they were.
constexpr int64_t kSettledNs = 1000000000;

int64_t Ns(const struct statx_timestamp& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The same numbers as stat() gives, so that stamps made here and from an open file agree.
FileStamp StampFrom(const struct statx& st) {
  return FileStamp{static_cast<uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor)),
                   static_cast<uint64_t>(st.stx_ino), static_cast<int64_t>(st.stx_size),
                   Ns(st.stx_mtime)};
}

FileSeen SeenOf(const std::optional<struct statx>& st) {
  FileSeen seen;
  if (!st) return seen;
  seen.exists = true;
  seen.mode = st->stx_mode;
  seen.stamp = StampFrom(*st);
  seen.changedNs = Ns(st->stx_ctime);
  if ((st->stx_mask & STATX_BTIME) != 0) seen.bornNs = Ns(st->stx_btime);
  return seen;
}

// Local file systems whose folders take a new modification time, to the nanosecond, for
// every name made, removed or renamed in them. Network and user-space file systems may
// keep attributes longer than their files, so their names are each looked at; and a look
// at one of them may wait on its server.
bool LocalFileSystem(const std::string& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// What the folder is now, when it may stand for its names: a folder, on such a file
// system, untouched for a while.
std::optional<FileSeen> SettledFolder(const std::string& folder) {
  struct statx st {};
  if (!LookDirect(folder, &st) || !S_ISDIR(st.stx_mode) || !LocalFileSystem(folder))
    return std::nullopt;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  int64_t nowNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  if (nowNs - std::max(Ns(st.stx_mtime), Ns(st.stx_ctime)) < kSettledNs) return std::nullopt;
  return SeenOf(st);
}

// A look at a name that does not follow a link; the link's own target is looked at too.
// `linked` tells the caller that the name is a link, whose target lies outside its
// folder's say.
bool LookAtName(const std::string& path, struct statx* out, bool* linked) {
  *linked = false;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              out) != 0)
    return false;
  if (!S_ISLNK(out->stx_mode)) return true;
  *linked = true;
  return LookDirect(path, out);
}

std::string_view FolderOf(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos || slash == 0 ? std::string_view() : path.substr(0, slash);
}

// Whether every path seen lies on a local file system: one question per device, and per
// folder for a path that is not there.
bool AllLocal(const std::vector<FileLookupRecord::Path>& seen) {
  std::vector<uint64_t> devices;
  std::vector<std::string_view> folders;
  for (const FileLookupRecord::Path& entry : seen) {
    const std::string& path = entry.path;
    const FileSeen& was = entry.seen;
    if (was.exists) {
      if (std::find(devices.begin(), devices.end(), was.stamp.device) != devices.end()) continue;
      if (!LocalFileSystem(path)) return false;
      devices.push_back(was.stamp.device);
    } else {
      std::string_view folder = FolderOf(path);
      if (std::find(folders.begin(), folders.end(), folder) != folders.end()) continue;
      if (folder.empty() || !LocalFileSystem(std::string(folder))) return false;
      folders.push_back(folder);
    }
  }
  return true;
}

// ---- Watches on the content of files that records hold ----

// Each watch pins its file in the kernel's caches, and the directory watcher shares the
// per-user limit of watches: records hold at most this many, and at most a sixteenth of
// that limit.
constexpr size_t kContentWatchesMax = 4096;
constexpr long kContentWatchesShareOfUserLimit = 16;

// What can change a file's content or which file it is: a write, the close of a file
// written, its attributes or link count (a new hard link, a rename over it), and its own
// move or removal.
constexpr uint32_t kContentEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;
// What can change a folder's names or which folder it is: a name made, removed or moved in
// or out, its attributes, and its own move or removal. The attributes of the files in it
// show too; they only cost a look at the folder.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;

// One inotify instance of the process for these watches. Every event on a watch counts as
// a change of it; an overflowed queue, as a change of them all.
class ContentWatches {
 public:
  // Never destroyed: a record may be let go while the process ends.
  static ContentWatches& Get() {
    static ContentWatches* watches = new ContentWatches;
    return *watches;
  }

  // Watches the file `path` names for `events`, not following a link. Nothing when it
  // cannot be. An event of a watch already there, queued before this and not yet drained,
  // can only make the token look changed later, never quiet.
  std::optional<FileWatchToken> Add(const std::string& path, uint32_t events) {
    std::lock_guard guard(lock_);
    if (!Open() || watches_.size() >= limit_) return std::nullopt;
    int wd = ::inotify_add_watch(fd_.Get(), path.c_str(), events | IN_DONT_FOLLOW);
    if (wd < 0) return std::nullopt;
    auto [at, made] = watches_.try_emplace(wd);
    if (made) at->second.id = at->second.generation = ++counter_;
    ++at->second.holders;
    return FileWatchToken{wd, at->second.id, at->second.generation};
  }

  void Release(const FileWatchToken& token) {
    std::lock_guard guard(lock_);
    auto at = watches_.find(token.wd);
    if (at == watches_.end() || at->second.id != token.id || --at->second.holders > 0) return;
    ::inotify_rm_watch(fd_.Get(), token.wd);
    watches_.erase(at);
  }

  // Takes in every event the kernel has queued so far.
  void Drain() {
    std::lock_guard guard(lock_);
    if (fd_.Valid()) DrainLocked();
  }

  // Whether nothing happened to the watched file since the token was taken (as of the
  // last Drain). Otherwise `*now` is the watch's count of changes as of that Drain, while
  // the kernel still watches the file: a look at the file after the Drain that finds it as
  // it was may take it as the token's.
  bool Quiet(const FileWatchToken& token, std::optional<uint64_t>* now) {
    std::lock_guard guard(lock_);
    auto at = watches_.find(token.wd);
    if (at == watches_.end() || at->second.id != token.id || at->second.ended) return false;
    if (at->second.generation == token.generation) return true;
    *now = at->second.generation;
    return false;
  }

 private:
  struct Watch {
    uint64_t id = 0;
    uint64_t generation = 0;
    size_t holders = 0;
    bool ended = false;  // the kernel dropped it (the file removed, its file system gone)
  };

  bool Open() {
    if (!opened_) {
      opened_ = true;
      fd_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
      long user = InotifyMaxUserWatches();
      limit_ = kContentWatchesMax;
      if (user > 0)
        limit_ = std::min(limit_, static_cast<size_t>(user / kContentWatchesShareOfUserLimit));
    }
    return fd_.Valid();
  }

  void DrainLocked() {
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
      ssize_t n = ::read(fd_.Get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
        if ((event->mask & IN_Q_OVERFLOW) != 0) {
          for (auto& [wd, watch] : watches_) watch.generation = ++counter_;
        } else if (auto found = watches_.find(event->wd); found != watches_.end()) {
          found->second.generation = ++counter_;
          if ((event->mask & IN_IGNORED) != 0) found->second.ended = true;
        }
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      }
      // A read that left room for another event with the longest name took all there was.
      if (static_cast<size_t>(n) + sizeof(struct inotify_event) + NAME_MAX + 1 <= sizeof buffer)
        return;
    }
  }

  std::mutex lock_;
  bool opened_ = false;
  UniqueFd fd_;
  size_t limit_ = 0;
  uint64_t counter_ = 0;
  std::unordered_map<int, Watch> watches_;
};

// A folder of the record: one that stands for the names it holds, or one looked at itself.
bool IsFolder(const FileLookupRecord::Path& entry) {
  return entry.seen.exists && S_ISDIR(entry.seen.mode);
}

// Of the files that may be watched, keeps those that lie directly in a settled folder,
// and puts the folder in the record to stand for which file the name is. Every folder of
// the record may be watched for its names.
bool MarkWatchable(std::vector<FileLookupRecord::Path>* seen) {
  std::vector<size_t> files;
  for (size_t i = 0; i < seen->size(); ++i) {
    if ((*seen)[i].watchable) files.push_back(i);
  }
  std::unordered_map<std::string, bool> folders;  // folder: it may stand for its names
  bool any = false;
  for (size_t i : files) {
    std::string folder((FolderOf((*seen)[i].path)));
    auto [state, fresh] = folders.try_emplace(folder, false);
    if (fresh && !folder.empty()) {
      std::optional<FileSeen> settled = SettledFolder(folder);
      auto in = std::find_if(seen->begin(), seen->end(), [&folder](const auto& p) {
        return p.path == folder;
      });
      if (settled && in == seen->end()) {
        seen->push_back(FileLookupRecord::Path{folder, *settled, false, {}});
        state->second = true;
      } else {
        state->second = settled && in->seen == *settled;
      }
    }
    (*seen)[i].watchable = state->second;
    any = any || state->second;
  }
  for (FileLookupRecord::Path& entry : *seen) {
    if (!IsFolder(entry)) continue;
    entry.watchable = true;
    any = true;
  }
  return any;
}

}  // namespace

struct FileLookupRecord::Holds {
  std::vector<FileWatchToken> watches;
  ~Holds() {
    for (const FileWatchToken& watch : watches) ContentWatches::Get().Release(watch);
  }
};

// Watches the file, then looks at it without following a link. True when it is the file
// that was seen: the watch then covers every change from that look on. A name that is a
// link (the watch would not cover its target) is never watched.
bool FileLookupRecord::StartWatch(Path* file) {
  ContentWatches& watches = ContentWatches::Get();
  std::optional<FileWatchToken> watch =
      watches.Add(file->path, IsFolder(*file) ? kFolderEvents : kContentEvents);
  struct statx st {};
  bool same = watch && ::statx(AT_FDCWD, file->path.c_str(), AT_SYMLINK_NOFOLLOW,
                               STATX_BASIC_STATS | STATX_BTIME, &st) == 0 &&
              SeenOf(st) == file->seen;
  if (!same) {
    if (watch) watches.Release(*watch);
    if (!watch || (S_ISLNK(st.stx_mode) && st.stx_mask != 0)) file->watchable = false;
    return false;
  }
  if (holds_ == nullptr) holds_ = std::make_shared<Holds>();
  holds_->watches.push_back(*watch);
  file->watch = *watch;
  return true;
}

bool FileLookupRecord::Unchanged(bool trustWatches, bool* lookedAll) {
  if (trustWatches && watchable_ && !foldersLooked_) {
    foldersLooked_ = true;
    watchable_ = MarkWatchable(&seen_);
  }
  bool watching = trustWatches && watchable_;
  if (watching) ContentWatches::Get().Drain();
  bool all = true;
  for (Path& entry : seen_) {
    std::optional<uint64_t> now;  // the watch's count of changes, when it spoke
    if (watching && entry.watchable) {
      if (entry.watch.wd < 0) {
        if (StartWatch(&entry)) continue;
      } else if (ContentWatches::Get().Quiet(entry.watch, &now)) {
        all = false;
        continue;
      }
    }
    struct statx st {};
    std::optional<struct statx> looked;
    if (LookDirect(entry.path, &st)) looked = st;
    if (!(SeenOf(looked) == entry.seen)) {
      if (lookedAll != nullptr) *lookedAll = all;
      return false;
    }
    // A watch that spoke of a change the look does not show (a file opened for writing
    // and closed as it was) is trusted again from its count as of the Drain.
    if (now) entry.watch.generation = *now;
  }
  if (lookedAll != nullptr) *lookedAll = all;
  return true;
}

std::optional<FileLookupRecord> FileLookupMemo::TakeRecord(size_t watchedPathsMax) {
  if (!active_ || overflowed_) return std::nullopt;
  FileLookupRecord record;
  record.seen_.reserve(looked_.size());
  for (auto& [folder, state] : folders_) {
    if (state.seen) record.seen_.push_back(FileLookupRecord::Path{folder, *state.seen, false, {}});
  }
  while (!looked_.empty()) {
    auto node = looked_.extract(looked_.begin());
    const Looked& looked = node.mapped();
    if (looked.nameOnly && !looked.linked) {
      auto folder = folders_.find(std::string(FolderOf(node.key())));
      if (folder != folders_.end() && folder->second.seen) continue;
    }
    FileSeen seen = SeenOf(looked.st);
    bool content = !looked.nameOnly && seen.exists && S_ISREG(seen.mode);
    record.watchable_ = record.watchable_ || content;
    record.seen_.push_back(FileLookupRecord::Path{std::move(node.key()), seen, content, {}});
  }
  folders_.clear();
  // A folder, whether it stands for names or was looked at itself, may be watched too.
  record.watchable_ = record.watchable_ || std::any_of(record.seen_.begin(), record.seen_.end(),
                                                       IsFolder);
  record.local_ = AllLocal(record.seen_);
  // Which of them may be watched is settled at the first check that trusts watches.
  record.watchable_ = record.watchable_ && record.local_ && record.seen_.size() <= watchedPathsMax;
  return record;
}

std::optional<int64_t> FileBirthTime(const std::string& path) {
  struct statx st {};
  if (!Look(path, &st, true)) return std::nullopt;
  // A file's birth time never changes; its modification time, the stand-in where the file
  // system keeps none, does.
  if ((st.stx_mask & STATX_BTIME) != 0) return static_cast<int64_t>(st.stx_btime.tv_sec);
  Look(path, &st);
  if ((st.stx_mask & STATX_MTIME) != 0) return static_cast<int64_t>(st.stx_mtime.tv_sec);
  return std::nullopt;
}

bool FileExists(const std::string& path) {
  struct statx st {};
  return Look(path, &st, true) && !S_ISDIR(st.stx_mode);
}

int64_t FileSize64(const std::string& path) {
  struct statx st {};
  if (!Look(path, &st)) return -1;
  return static_cast<int64_t>(st.stx_size);
}

std::optional<FileStamp> StampOf(const std::string& path) {
  struct statx st {};
  if (!Look(path, &st)) return std::nullopt;
  return StampFrom(st);
}

std::optional<FileStamp> FileStampOf(const std::string& path) {
  struct statx st {};
  if (!Look(path, &st) || S_ISDIR(st.stx_mode)) return std::nullopt;
  return StampFrom(st);
}

FileLookupMemo::FileLookupMemo() {
  if (t_memo != nullptr) return;
  t_memo = this;
  active_ = true;
}

FileLookupMemo::~FileLookupMemo() {
  if (active_) t_memo = nullptr;
}

bool FileLookupMemo::Look(const std::string& path, struct statx* out, bool nameOnly) {
  auto found = looked_.find(path);
  if (found != looked_.end()) {
    found->second.nameOnly = found->second.nameOnly && nameOnly;
    if (!found->second.st) return false;
    *out = *found->second.st;
    return true;
  }
  if (looked_.size() >= kMemoPaths) {
    overflowed_ = true;
    return LookDirect(path, out);
  }
  bool linked = false;
  bool ok = nameOnly ? LookAtName(path, out, &linked) : LookDirect(path, out);
  looked_.emplace(path, Looked{ok ? std::optional<struct statx>(*out) : std::nullopt, nameOnly,
                               linked});
  if (nameOnly && !linked) NoteName(path);
  return ok;
}

// From the second name of a folder on, the folder is looked at, so that its stamp is never
// older than the names it stands for; the first name, seen before it, is looked at again.
void FileLookupMemo::NoteName(const std::string& path) {
  std::string_view folder = FolderOf(path);
  if (folder.empty()) return;
  Folder& state = folders_[std::string(folder)];
  if (++state.names == 1) {
    state.first = path;
    return;
  }
  if (state.names != 2) return;
  std::string folderPath(folder);
  state.seen = SettledFolder(folderPath);
  if (!state.seen) return;
  const Looked& first = looked_[state.first];
  struct statx st {};
  bool linked = false;
  std::optional<struct statx> now;
  if (LookAtName(state.first, &st, &linked)) now = st;
  if (linked || !(SeenOf(now) == SeenOf(first.st))) state.seen.reset();
}

}  // namespace platform
