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
// keep attributes longer than their files, so their names are each looked at.
bool StampsEveryNameChange(const std::string& folder) {
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) != 0) return false;
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
  if (!LookDirect(folder, &st) || !S_ISDIR(st.stx_mode) || !StampsEveryNameChange(folder))
    return std::nullopt;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  int64_t nowNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  if (nowNs - std::max(Ns(st.stx_mtime), Ns(st.stx_ctime)) < kSettledNs) return std::nullopt;
  return SeenOf(st);
}

// What a second look, after the folder's, finds of a name the answer identified.
enum class NameNow { kSame, kLink, kChanged };

NameNow LookAgainInFolder(const std::string& path, const std::optional<struct statx>& seen) {
  struct statx st {};
  std::optional<struct statx> now;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              &st) == 0) {
    // A link's target lies outside the folder's say.
    if (S_ISLNK(st.stx_mode)) return NameNow::kLink;
    now = st;
  }
  return SeenOf(now) == SeenOf(seen) ? NameNow::kSame : NameNow::kChanged;
}

std::string_view FolderOf(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos || slash == 0 ? std::string_view() : path.substr(0, slash);
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
  // Names the answer only identified, by folder. The folder is looked at first and the
  // names after it, so that a kept folder stamp is never older than the names it covers.
  std::unordered_map<std::string_view, std::vector<const std::string*>> byFolder;
  for (const auto& [path, looked] : looked_) {
    std::string_view folder = looked.nameOnly ? FolderOf(path) : std::string_view();
    if (!folder.empty()) byFolder[folder].push_back(&path);
  }
  std::vector<std::string> covered;
  for (const auto& [folder, names] : byFolder) {
    if (names.size() < 2) continue;
    std::string folderPath(folder);
    std::optional<FileSeen> seen = SettledFolder(folderPath);
    if (!seen) continue;
    std::vector<const std::string*> same;
    bool changed = false;
    for (const std::string* name : names) {
      NameNow now = LookAgainInFolder(*name, looked_[*name].st);
      changed = changed || now == NameNow::kChanged;
      if (now == NameNow::kSame) same.push_back(name);
    }
    // A name changed since the answer saw it: its own record makes the answer go.
    if (changed || same.empty()) continue;
    for (const std::string* name : same) covered.push_back(*name);
    record.seen_.emplace_back(std::move(folderPath), *seen);
  }
  for (const std::string& name : covered) looked_.erase(name);
  record.seen_.reserve(record.seen_.size() + looked_.size());
  while (!looked_.empty()) {
    auto node = looked_.extract(looked_.begin());
    record.seen_.emplace_back(std::move(node.key()), SeenOf(node.mapped().st));
  }
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
  bool ok = LookDirect(path, out);
  if (looked_.size() < kMemoPaths) {
    looked_.emplace(path, Looked{ok ? std::optional<struct statx>(*out) : std::nullopt, nameOnly});
  } else {
    overflowed_ = true;
  }
  return ok;
}

}  // namespace platform
