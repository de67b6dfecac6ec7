#include "platform/file_info.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <algorithm>
#include <string_view>

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
bool AllLocal(const std::vector<std::pair<std::string, FileSeen>>& seen) {
  std::vector<uint64_t> devices;
  std::vector<std::string_view> folders;
  for (const auto& [path, was] : seen) {
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

}  // namespace

bool FileLookupRecord::Unchanged() const {
  for (const auto& [path, seen] : seen_) {
    struct statx st {};
    std::optional<struct statx> now;
    if (LookDirect(path, &st)) now = st;
    if (!(SeenOf(now) == seen)) return false;
  }
  return true;
}

std::optional<FileLookupRecord> FileLookupMemo::TakeRecord() {
  if (!active_ || overflowed_) return std::nullopt;
  FileLookupRecord record;
  record.seen_.reserve(looked_.size());
  for (auto& [folder, state] : folders_) {
    if (state.seen) record.seen_.emplace_back(folder, *state.seen);
  }
  while (!looked_.empty()) {
    auto node = looked_.extract(looked_.begin());
    const Looked& looked = node.mapped();
    if (looked.nameOnly && !looked.linked) {
      auto folder = folders_.find(std::string(FolderOf(node.key())));
      if (folder != folders_.end() && folder->second.seen) continue;
    }
    record.seen_.emplace_back(std::move(node.key()), SeenOf(looked.st));
  }
  folders_.clear();
  record.local_ = AllLocal(record.seen_);
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
