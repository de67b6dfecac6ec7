// File information for the scanner and the delivery code. Symbolic links are followed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The file's creation time in seconds since the epoch: its birth time where the file
// system records one, else its modification time. Nothing when it cannot be read.
std::optional<int64_t> FileBirthTime(const std::string& path);

// True for an existing entry that is not a directory.
bool FileExists(const std::string& path);

// The size in bytes (64-bit, so files of 2 GiB and more keep theirs); -1 when the
// entry cannot be read.
int64_t FileSize64(const std::string& path);

// What identifies one version of a file's content: a file rewritten or replaced gets
// another stamp. Equal stamps mean "unchanged" for files nobody rewrites within the same
// nanosecond at the same size.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modifiedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of an existing entry; nothing when it cannot be read.
std::optional<FileStamp> StampOf(const std::string& path);

// The stamp of an existing entry that is not a directory (FileExists and the size in one
// look-up); nothing otherwise.
std::optional<FileStamp> FileStampOf(const std::string& path);

}  // namespace platform
