// Pieces shared by the scanner's files (scanner, scan_walk, scan_incremental,
// library_edit, file_system_tree), the disc image reader and the playlist import. Not
// for use outside library/build.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "library/library.h"
#include "media/wm_tag.h"
#include "platform/dir_walk.h"

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
// Whether a folder name ends in one of the compressed-folder suffixes the scan skips.
bool IsCompressedFolderName(std::string_view name);

template <size_t N>
bool InArray(std::string_view ext, const char* const (&list)[N]) {
  for (const char* item : list) {
    if (ext == item) return true;
  }
  return false;
}

// Groups a scan's writes in transactions of a bounded number of entries and time, so a
// crash loses at most one batch and browsing goes on between batches. Commits what is
// left when destroyed.
class CScanBatch {
 public:
  CScanBatch();
  ~CScanBatch();
  CScanBatch(const CScanBatch&) = delete;
  CScanBatch& operator=(const CScanBatch&) = delete;

  // One entry done: commits and begins a new batch when a limit is reached.
  void Step();
  void Commit();

 private:
  void Begin();
  std::optional<LibraryTransaction> transaction_;
  int entries_ = 0;
  uint64_t startedMs_ = 0;
};

// Size, tags and cover of the file being stored.
struct CItemFacts {
  std::string path;
  int kind = 0;
  int64_t size = 0;
  WMTagBlock tags;
  std::string cover;
};

// One scan operation (a walk, a watcher update, a deletion): held by the function that
// runs it and handed to every step below. It owns the batch the operation's writes are
// committed in, the guard against walking in circles, the cover of the folder being
// walked (looked up once for all its files) and the facts of the file being stored (its
// "All" row and its folder row ask for the same facts).
class CScanRun {
 public:
  CScanRun() = default;
  CScanRun(const CScanRun&) = delete;
  CScanRun& operator=(const CScanRun&) = delete;

  CScanBatch& batch() { return batch_; }
  platform::DirWalkGuard& walkGuard() { return walkGuard_; }
  // The cover of `folder` by the cover patterns, its folder listed once.
  std::string CoverFor(const std::string& folder);
  // The cover of `folder` from a listing the walk has read anyway.
  void SetCover(const std::string& folder, const platform::DirListing& listing);
  void ForgetCover() { coverValid_ = false; }
  const CItemFacts& FactsFor(const std::string& path, int kind);
  void ForgetFacts();

 private:
  CScanBatch batch_;
  platform::DirWalkGuard walkGuard_;
  std::string coverFolder_;
  std::string cover_;
  bool coverValid_ = false;
  CItemFacts facts_;
  bool factsValid_ = false;
};

// ---- Storing (file_system_tree.cpp) ----

// Inserts an item or container with the full media row. `number` is the object number
// to use (an already allocated one) or -1 to allocate one; `listPath` replaces the path
// of a playlist. `countIt` counts the file in the scan totals. Returns as FST_AddObject.
int AddObject(CScanRun& run, int32_t parent, int32_t objectType, const std::string& path,
              const std::string& name, int kind, int32_t number = -1,
              const std::string& listPath = std::string(), bool countIt = true);
// FST_AddItem within a run.
void AddItem(CScanRun& run, int32_t parent, int32_t objectType, const std::string& path,
             const std::string& name, int kind, int32_t internetFlags);

// ---- Walking (scan_walk.cpp) ----

// Walks `folder` storing its files under the audio, video and image containers; with
// `descend`, mirrors its subfolders and deletes their containers of kinds they do not
// hold. Returns the kinds stored in the tree.
int WalkFolder(CScanRun& run, const std::string& folder, int32_t audio, int32_t video,
               int32_t image, bool descend);
// Stores one file of a folder. Returns the kinds it adds to its folder's mask.
int ScanFile(CScanRun& run, const std::string& path, const std::string& name, int32_t audio,
             int32_t video, int32_t image);
// Playlist_Import within a run (playlist_import.cpp).
void ImportPlaylist(CScanRun& run, const std::string& playlistPath, const std::string& listPath,
                    int32_t playlistItem);

// ---- Deleting (library_edit.cpp) ----

// The groups a deletion may leave empty, and the containers it has entered.
struct CDeleteState {
  std::set<int32_t> groupCandidates;
  // Containers whose deletion has begun; a damaged library whose parents form a loop
  // must not make the walk endless.
  std::set<int32_t> entered;
};
// Deletes one item: with `wholeFile` every row of its path, else only this row when the
// file is shared a second time elsewhere.
void DeleteItem(const MediaRecord& item, bool wholeFile, CDeleteState* state);
// Deletes a container after its children.
void DeleteSubtree(CScanRun& run, int32_t myIndex, CDeleteState* state);
// Deletes the artist, genre and album containers that the deletion left empty.
void RemoveEmptyGroups(const CDeleteState& state);
// Lib_DeleteSubtree within a run.
void DeleteTree(CScanRun& run, int32_t myIndex);
// Deletes a container of a kind its folder turned out not to hold, with anything left
// below it from an earlier scan.
void PruneContainer(CScanRun& run, int32_t container);
void PruneByMask(CScanRun& run, int mask, int32_t audio, int32_t video, int32_t image);
// Deletes `container` and the folder containers above it while they have no children.
void PruneEmptyUpward(int32_t container);
// Deletes the end of a container chain with anything below it, then the containers
// above it that are left empty.
void PruneChain(CScanRun& run, int32_t container);
// Whether a shared folder is gone (as opposed to unreadable for now).
bool FolderIsGone(const std::string& folder);
// Removes a shared folder and its objects within a run; the caller holds the scanner's
// files mutex.
void RemoveSharedFolder(CScanRun& run, const std::string& path);

// Empties the object table (shared folders stay, each marked as still to be scanned),
// rebuilds the fixed tree, zeroes the totals and empties cache/ and thumbnail/. The
// caller holds the scanner's files mutex.
void RebuildEmptyLibraryLocked();
// Lib_RemoveSharedFolder for a caller that holds the scanner's files mutex.
void RemoveSharedFolderLocked(const std::string& path);

}  // namespace scan_detail
