// File information for the scanner and the delivery code. Symbolic links are followed.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

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

// What one look-up saw of a path: enough to tell a rewritten, replaced, touched or
// vanished file from the one seen.
struct FileSeen {
  bool exists = false;
  uint32_t mode = 0;
  FileStamp stamp;
  int64_t changedNs = 0;  // any change to the entry, its attributes included
  int64_t bornNs = 0;
  bool operator==(const FileSeen&) const = default;
};

// One watch on a file's content, as a record holds it.
struct FileWatchToken {
  int wd = -1;
  uint64_t id = 0;          // which watch of that number
  uint64_t generation = 0;  // its count of changes when the file was last seen
};

// Every path a memo looked at and what it saw, to ask later whether all of them are still
// as they were. Where an answer only asked which file a name is (whether it is there, its
// kind, its birth time), the names of one settled folder are stood for by the folder
// itself: a name can only come, go or be given to another file by changing its folder.
//
// The files whose content an answer read, when they lie directly in such a folder, may
// also be watched for change (inotify on the file itself, so a write through another hard
// link shows too). The folder, looked at, then stands for which file the name is, and a
// quiet watch for its content. The record's folders may be watched for their names. The
// kernel tells of writes and of the close of a file written, but of writes through a
// shared mapping of it only once the mapping is gone: a caller that trusts the watches
// must still look at every path now and then.
class FileLookupRecord {
 public:
  // Looks at each path again (straight at the file system, never through a memo). With
  // `trustWatches`, a watched file whose watch stayed quiet is not looked at, and a file
  // that may be watched and is not yet is watched now, then looked at; `lookedAll` tells
  // whether every path was looked at. The first such call pays for the watches, so an
  // answer asked for once never does.
  bool Unchanged(bool trustWatches = false, bool* lookedAll = nullptr);
  // True when every path lies on a local file system, so that looking at them again never
  // waits on a network or a user-space server.
  bool Local() const { return local_; }
  // How many paths Unchanged looks at.
  size_t Paths() const { return seen_.size(); }

  // What the record holds of one path.
  struct Path {
    std::string path;
    FileSeen seen;
    bool watchable = false;  // a file read (once checked: directly in a settled folder)
    FileWatchToken watch;    // wd -1: not watched
  };

 private:
  friend class FileLookupMemo;
  struct Holds;  // gives the watches up when the last copy of the record goes
  std::vector<Path> seen_;
  bool StartWatch(Path* file);
  std::shared_ptr<Holds> holds_;
  bool watchable_ = false;      // some file may be watched
  bool foldersLooked_ = false;  // their folders were looked at (at the first trusting check)
  bool local_ = false;
};

// While one lives on a thread, the look-ups above on that thread ask the file system once
// per path: an answer about many objects that share a file (an album's cover, its art)
// looks at it once, and sees one state of it from start to end. Another memo made while
// one is active adds nothing.
class FileLookupMemo {
 public:
  FileLookupMemo();
  ~FileLookupMemo();
  FileLookupMemo(const FileLookupMemo&) = delete;
  FileLookupMemo& operator=(const FileLookupMemo&) = delete;

  // The path's attributes through the memo; false when the path cannot be looked at.
  // `nameOnly`: the caller uses no more than which file the name is (existence, kind,
  // identity and birth time), never its content, size or times of change.
  bool Look(const std::string& path, struct statx* out, bool nameOnly = false);

  // Every look-up this memo answered, or nothing when it was not the active one or some
  // look-up went past it (the memo was full), so that what was read is not fully known.
  // The memo is emptied: it is taken once, when its look-ups are over. Files may be
  // watched only in a record of at most `watchedPathsMax` paths: a larger one is looked at
  // in full.
  std::optional<FileLookupRecord> TakeRecord(size_t watchedPathsMax = SIZE_MAX);

 private:
  struct Looked {
    std::optional<struct statx> st;
    bool nameOnly = true;
    bool linked = false;
  };
  // A folder of names the answer only identified; `seen` once it may stand for them.
  struct Folder {
    size_t names = 0;
    std::string first;
    std::optional<FileSeen> seen;
  };
  void NoteName(const std::string& path);

  bool active_ = false;
  bool overflowed_ = false;
  std::unordered_map<std::string, Looked> looked_;
  std::unordered_map<std::string, Folder> folders_;
};

}  // namespace platform
