// Edits of the library as a whole and the deletions every scan and watcher update uses:
// a container's subtree, a file's rows, the containers a deletion leaves empty.
#include "library/build/library_edit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/scan_internal.h"
#include "library/build/scan_limits.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/app_directory.h"
#include "transcode/seek_index.h"

namespace {

using scan_detail::CDeleteState;

bool IsDiscMemberPath(const std::string& path) {
  return path.find("/%offset%") != std::string::npos;
}

// Notes the artist, genre and album containers of a deleted item, to be removed when
// they are left empty.
void NoteGroups(const MediaRecord& item, CDeleteState* state) {
  for (const std::string* tag : {&item.Album, &item.Author, &item.Genre}) {
    if (tag->empty()) continue;
    int n = db_selectT(sql::ByPath(*tag));
    std::vector<MediaRecord> rows(db_selectResults().begin(), db_selectResults().begin() + n);
    for (const MediaRecord& r : rows) {
      bool groupRoot = r.pIndex == kContainerArtist || r.pIndex == kContainerGenre ||
                       r.pIndex == kContainerAlbum;
      if (r.ObjectType == kObjectContainer && groupRoot && r.MyIndex >= kFirstFreeObjectNumber) {
        state->groupCandidates.insert(r.MyIndex);
      }
    }
  }
}

void EmptyWorkDirectory(const char* name) {
  std::string dir = platform::AppPath(name);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir, ec);
}

void RebuildEmptyLibrary(bool dropSharedFolders) {
  Scan_SetLibraryTotals(CScanCounts());
  {
    LibraryTransaction batch;
    db_execute(sql::DeleteAllObjects());
    if (dropSharedFolders) {
      db_execute(sql::DeleteAllSharedFolders());
    } else {
      // Every folder is to be scanned from here on, and is, even when this run ends first.
      db_execute(sql::SetAllSharedFolderFlags(kSharedFolderScanPending));
    }
    FST_BuildTree();
    batch.Commit();
  }
  Scanner().RefreshFeeds();
  EmptyWorkDirectory(scan_limits::kCacheDirectory);
  EmptyWorkDirectory(scan_limits::kThumbnailDirectory);
  db_invalidateBrowse();
}

}  // namespace

namespace scan_detail {

// Deletes one item. Unless `wholeFile`, an item whose file has more rows than one
// sharing accounts for (its "All" row, its folder row and one per group tag) is shared a
// second time elsewhere: only this row goes. Otherwise every row of its path goes, with
// a playlist's entries and list file, and the totals are lowered.
void DeleteItem(const MediaRecord& item, bool wholeFile, CDeleteState* state) {
  int expected = 2 + !item.Album.empty() + !item.Author.empty() + !item.Genre.empty();
  if (!wholeFile && db_getCount(sql::RowsOfSamePath(item.MyIndex)) > expected) {
    db_execute(sql::DeleteByIndex(item.MyIndex));
    return;
  }
  bool playlist = item.Flags == kFlagPlaylist && item.ObjectType == kObjectItem;
  bool entry = item.Flags == kFlagPlaylistEntry;
  if (!entry && !IsDiscMemberPath(item.FilePath)) {
    Scanner().LowerTotals(item.FileType, playlist);
  }
  if (item.FileType == "Video") IndexRemove(item.FilePath);
  if (playlist) {
    db_execute(sql::DeleteChildren(item.MyIndex));
    // The list file belongs to the item; only files in our own cache directory go.
    std::string cache = platform::AppPath(scan_limits::kCacheDirectory) + "/";
    if (item.FilePath.rfind(cache, 0) == 0) ::unlink(item.FilePath.c_str());
  }
  NoteGroups(item, state);
  db_execute(sql::DeleteRowsOfSamePath(item.MyIndex));
  db_execute(sql::DeleteByIndex(item.MyIndex));
}

// The container goes after its children: the batches commit one by one, and a deletion
// cut short then leaves a smaller tree that is still whole (and found again to be
// finished), never children whose parent is gone.
void DeleteSubtree(CScanRun& run, int32_t myIndex, CDeleteState* state) {
  if (!state->entered.insert(myIndex).second) return;
  int n = db_selectT(sql::Children(myIndex));
  std::vector<MediaRecord> children(db_selectResults().begin(), db_selectResults().begin() + n);
  for (const MediaRecord& child : children) {
    if (child.ObjectType == kObjectContainer) {
      DeleteSubtree(run, child.MyIndex, state);
    } else {
      DeleteItem(child, false, state);
    }
    run.batch().Step();
  }
  db_execute(sql::DeleteByIndex(myIndex));
}

void RemoveEmptyGroups(const CDeleteState& state) {
  for (int32_t group : state.groupCandidates) db_execute(sql::DeleteIfNoChildren(group));
}

// Deletes a container of a kind that its folder turned out not to hold, with anything
// left below it from an earlier scan.
void PruneContainer(CScanRun& run, int32_t container) {
  if (container < kFirstFreeObjectNumber) return;
  if (db_getCount(sql::Children(container)) == 0) {
    db_execute(sql::DeleteByIndex(container));
    return;
  }
  DeleteTree(run, container);
}

void PruneByMask(CScanRun& run, int mask, int32_t audio, int32_t video, int32_t image) {
  if ((mask & (kKindAudio | kKindPlaylist)) == 0) PruneContainer(run, audio);
  if ((mask & kKindVideo) == 0) PruneContainer(run, video);
  if ((mask & kKindImage) == 0) PruneContainer(run, image);
}

// Deletes `container` and the folder containers above it while they have no children.
void PruneEmptyUpward(int32_t container) {
  while (container >= kFirstFreeObjectNumber) {
    MediaRecord r;
    if (db_getOneRecord(sql::ObjectByIndex(container), &r) == 0) return;
    if (r.ObjectType != kObjectContainer || db_getCount(sql::Children(container)) > 0) return;
    db_execute(sql::DeleteByIndex(container));
    container = r.pIndex;
  }
}

// Deletes the end of a container chain with anything below it, then the containers
// above it that are left empty.
void PruneChain(CScanRun& run, int32_t container) {
  MediaRecord r;
  if (container < kFirstFreeObjectNumber ||
      db_getOneRecord(sql::ObjectByIndex(container), &r) == 0) {
    return;
  }
  PruneContainer(run, container);
  PruneEmptyUpward(r.pIndex);
}

bool FolderIsGone(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return !S_ISDIR(st.st_mode);
  return errno == ENOENT || errno == ENOTDIR;
}

// The folder's row is marked first and deleted last, so that a removal cut short (its
// batches commit one by one) is finished by the next start rather than leaving objects of
// a folder that is no longer shared.
void RemoveSharedFolder(CScanRun& run, const std::string& path) {
  db_execute(sql::SetSharedFolderFlags(path, kSharedFolderRemovalPending));
  CDeleteState state;
  for (int32_t root : {kContainerAudioFolders, kContainerVideoFolders, kContainerImageFolders}) {
    MediaRecord r;
    while (db_getOneRecord(sql::FolderUnder(path, root), &r) > 0) {
      DeleteSubtree(run, r.MyIndex, &state);
    }
  }
  RemoveEmptyGroups(state);
  db_execute(sql::DeleteSharedFolder(path));
}

void DeleteTree(CScanRun& run, int32_t myIndex) {
  CDeleteState state;
  DeleteSubtree(run, myIndex, &state);
  RemoveEmptyGroups(state);
}

void RebuildEmptyLibraryLocked() { RebuildEmptyLibrary(false); }

void RemoveSharedFolderLocked(const std::string& path) {
  CScanRun run;
  RemoveSharedFolder(run, path);
}

}  // namespace scan_detail

void Lib_DeleteSubtree(int32_t myIndex) {
  scan_detail::CScanRun run;
  scan_detail::DeleteTree(run, myIndex);
}

int Lib_AddSharedFolder(const std::string& path) {
  SharedFolderRecord existing;
  if (db_getSharedFolder(path, &existing) == 1) {
    db_forgetBrowseQuery();
    return 0;
  }
  return db_execute(sql::InsertSharedFolder(path, kSharedFolderScanPending)) ? 1 : 0;
}

void Lib_RemoveSharedFolder(const std::string& path) {
  Scanner().idle.store(false, std::memory_order_release);
  {
    std::lock_guard lock(Scanner().filesMutex);
    Scanner().abort.store(false, std::memory_order_release);
    scan_detail::RemoveSharedFolderLocked(path);
  }
  Scanner().running.store(false, std::memory_order_release);
  db_invalidateBrowse();
  Scanner().idle.store(true, std::memory_order_release);
}

void Lib_Clear() {
  std::lock_guard lock(Scanner().filesMutex);
  RebuildEmptyLibrary(true);
}
