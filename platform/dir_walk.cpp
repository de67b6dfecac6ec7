#include "platform/dir_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/limits.h"

namespace platform {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

DirListing ListDirectory(const std::string& path) {
  DirListing listing;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) {
    listing.error = errno;
    return listing;
  }
  std::string prefix = path;
  if (prefix.empty() || prefix.back() != '/') prefix.push_back('/');
  int fd = ::dirfd(dir.get());
  for (;;) {
    errno = 0;
    dirent* d = ::readdir(dir.get());
    if (d == nullptr) {
      if (errno != 0) listing.error = errno;
      break;
    }
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    struct stat own {};
    if (::fstatat(fd, d->d_name, &own, AT_SYMLINK_NOFOLLOW) != 0) continue;
    struct stat st = own;
    bool isLink = S_ISLNK(own.st_mode);
    if (isLink && ::fstatat(fd, d->d_name, &st, 0) != 0) continue;  // Broken link.
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
    DirEntry entry;
    entry.name = d->d_name;
    entry.path = prefix + entry.name;
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.isSymlink = isLink;
    entry.isHidden = entry.name[0] == '.';
    entry.size = entry.isDirectory ? 0 : static_cast<int64_t>(st.st_size);
    entry.modifiedTime = static_cast<int64_t>(st.st_mtim.tv_sec);
    listing.entries.push_back(std::move(entry));
  }
  std::sort(listing.entries.begin(), listing.entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return listing;
}

bool DirWalkGuard::Enter(const std::string& path) {
  if (path_.size() >= kMaxWalkDepth) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  std::pair<dev_t, ino_t> id(st.st_dev, st.st_ino);
  if (std::find(path_.begin(), path_.end(), id) != path_.end()) return false;
  path_.push_back(id);
  return true;
}

void DirWalkGuard::Leave() {
  if (!path_.empty()) path_.pop_back();
}

}  // namespace platform
