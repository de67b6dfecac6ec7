// Directory listing for the folder scanner, and a guard against symbolic-link loops.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform {

struct DirEntry {
  std::string name;          // The entry's own name.
  std::string path;          // The directory's path, "/" and the name.
  bool isDirectory = false;  // After following symbolic links.
  bool isSymlink = false;    // The entry itself is a symbolic link.
  bool isHidden = false;     // The name begins with ".".
  int64_t size = 0;          // Bytes, of the link's target for a link; 0 for directories.
  int64_t modifiedTime = 0;  // Seconds since the epoch.
};

struct DirListing {
  std::vector<DirEntry> entries;
  int error = 0;  // 0, or the errno value when the directory could not be read.
};

// Lists the regular files and directories in `path`, sorted by name (byte order) so
// that a scan does not depend on the file system's order. "." and ".." are left out.
// Symbolic links are followed: a link stands for its target. Skipped are broken links,
// entries that vanish while listing and special files (FIFOs, sockets, devices), which
// no scanner may open: a FIFO would block it. An unreadable directory gives an empty
// list and its error.
DirListing ListDirectory(const std::string& path);

// Tracks the directories on the current path of a recursive walk by device and inode,
// so that a symbolic link back to an enclosing directory is not entered again. Each
// successful Enter must be paired with a Leave (or use DirWalkGuard::Scope).
class DirWalkGuard {
 public:
  // Enters `path` when it is a directory that is not on the current path already and
  // the walk is not deeper than its limit. Returns false (and enters nothing) else.
  bool Enter(const std::string& path);
  // Leaves the directory entered last.
  void Leave();

  // Enters on construction and leaves on destruction when entered.
  class Scope {
   public:
    Scope(DirWalkGuard& guard, const std::string& path)
        : guard_(guard), entered_(guard.Enter(path)) {}
    ~Scope() {
      if (entered_) guard_.Leave();
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    bool Entered() const { return entered_; }

   private:
    DirWalkGuard& guard_;
    bool entered_;
  };

 private:
  std::vector<std::pair<dev_t, ino_t>> path_;
};

}  // namespace platform
