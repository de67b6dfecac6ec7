#include "platform/file_info.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace platform {

std::optional<int64_t> FileBirthTime(const std::string& path) {
  struct statx st {};
  if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BTIME | STATX_MTIME, &st) != 0) {
    return std::nullopt;
  }
  if ((st.stx_mask & STATX_BTIME) != 0) return static_cast<int64_t>(st.stx_btime.tv_sec);
  if ((st.stx_mask & STATX_MTIME) != 0) return static_cast<int64_t>(st.stx_mtime.tv_sec);
  return std::nullopt;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

int64_t FileSize64(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

namespace {

FileStamp StampFrom(const struct stat& st) {
  return FileStamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                   static_cast<int64_t>(st.st_size),
                   static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return StampFrom(st);
}

std::optional<FileStamp> FileStampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  return StampFrom(st);
}

}  // namespace platform
