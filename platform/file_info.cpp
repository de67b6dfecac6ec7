#include "platform/file_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

bool Look(const std::string& path, struct statx* out) {
  return t_memo != nullptr ? t_memo->Look(path, out) : LookDirect(path, out);
}

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
  while (!looked_.empty()) {
    auto node = looked_.extract(looked_.begin());
    record.seen_.emplace_back(std::move(node.key()), SeenOf(node.mapped()));
  }
  return record;
}

std::optional<int64_t> FileBirthTime(const std::string& path) {
  struct statx st {};
  if (!Look(path, &st)) return std::nullopt;
  if ((st.stx_mask & STATX_BTIME) != 0) return static_cast<int64_t>(st.stx_btime.tv_sec);
  if ((st.stx_mask & STATX_MTIME) != 0) return static_cast<int64_t>(st.stx_mtime.tv_sec);
  return std::nullopt;
}

bool FileExists(const std::string& path) {
  struct statx st {};
  return Look(path, &st) && !S_ISDIR(st.stx_mode);
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

bool FileLookupMemo::Look(const std::string& path, struct statx* out) {
  auto found = looked_.find(path);
  if (found != looked_.end()) {
    if (!found->second) return false;
    *out = *found->second;
    return true;
  }
  bool ok = LookDirect(path, out);
  if (looked_.size() < kMemoPaths) {
    looked_.emplace(path, ok ? std::optional<struct statx>(*out) : std::nullopt);
  } else {
    overflowed_ = true;
  }
  return ok;
}

}  // namespace platform
