// Pieces shared by the scanner, the disc image reader and the playlist import. Not for
// use outside library/build.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "library/library.h"

namespace scan_detail {

// The text from the last "." of the name on, dot included, ASCII letters lowered; empty
// when the name has no ".".
std::string ExtensionLower(std::string_view name);
// The part after the last "/", and the part before it ("/" for a top-level entry).
std::string BaseName(const std::string& path);
std::string DirName(const std::string& path);
// A name as the library shows it: kept when it is valid UTF-8, else decoded from the
// text code page. File system paths are stored as they are; names and titles are what
// clients display, so they must be valid text.
std::string DisplayName(std::string_view raw);
// "Video", "Audio" or "Image" for kinds 1, 2 and 4; empty for every other kind.
const char* KindWord(int kind);
// The list file of a playlist item numbered `number`: cache/<number>.lst.
std::string ListFilePath(int32_t number);

// Counting, in the current scan and the library totals.
void CountAdded(int kind);
void CountDuplicate();
void CountUnsupported();
// Lowers the totals for a deleted file of this kind word ("Video", "Audio", "Image") or,
// with `playlist`, for a playlist.
void LowerTotals(const std::string& fileType, bool playlist);

// Inserts an item or container with the full media row. `number` is the object number
// to use (an already allocated one) or -1 to allocate one; `listPath` replaces the path
// of a playlist. `countIt` counts the file in the scan totals. Returns as FST_AddObject.
int AddObject(int32_t parent, int32_t objectType, const std::string& path, const std::string& name,
              int kind, int32_t number = -1, const std::string& listPath = std::string(),
              bool countIt = true);

// Groups a scan's writes in transactions of a bounded number of entries and time, so a
// crash loses at most one batch and browsing goes on between batches. Commits what is
// left when destroyed.
class ScanBatch {
 public:
  ScanBatch();
  ~ScanBatch();
  ScanBatch(const ScanBatch&) = delete;
  ScanBatch& operator=(const ScanBatch&) = delete;

  // One entry done: commits and begins a new batch when a limit is reached.
  void Step();
  void Commit();

 private:
  void Begin();
  std::optional<LibraryTransaction> transaction_;
  int entries_ = 0;
  uint64_t startedMs_ = 0;
};

// The batch of the scan running on this thread, or nullptr. Long operations inside a
// scan (disc images, playlists) step it so their rows are committed in batches too.
ScanBatch* CurrentBatch();

// Empties the object table (shared folders stay, each marked as still to be scanned),
// rebuilds the fixed tree, zeroes the totals and empties cache/ and thumbnail/. The
// caller holds ScanFilesMutex.
void RebuildEmptyLibraryLocked();
// Lib_RemoveSharedFolder for a caller that holds ScanFilesMutex.
void RemoveSharedFolderLocked(const std::string& path);

// The entry hook of the tests, called before each entry (a directory entry or a member
// of a disc image) is processed.
void RunEntryHook(const std::string& path);

}  // namespace scan_detail
