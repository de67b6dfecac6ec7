#include "library/build/scanner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "app/settings.h"
#include "library/build/container_tree.h"
#include "library/build/disc_image.h"
#include "library/build/playlist_import.h"
#include "library/build/scan_internal.h"
#include "library/build/scan_limits.h"
#include "library/item_counts.h"
#include "library/library.h"
#include "library/object_numbers.h"
#include "library/statements.h"
#include "media/wm_tag.h"
#include "platform/app_directory.h"
#include "platform/codepage.h"
#include "platform/dir_walk.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "transcode/seek_index.h"

std::mutex ScanFilesMutex;
std::atomic<bool> g_scanAbort{false};
std::atomic<bool> g_scanIdle{true};
std::atomic<bool> g_scanRunning{false};
ScanCurrentPath g_scanCurrentPath;

void ScanCurrentPath::Set(const std::string& path) {
  std::lock_guard lock(mutex_);
  path_ = path;
}

void ScanCurrentPath::Clear() {
  std::lock_guard lock(mutex_);
  path_.clear();
}

std::string ScanCurrentPath::Get() const {
  std::lock_guard lock(mutex_);
  return path_;
}

namespace {

struct AtomicCounts {
  std::atomic<int> files{0};
  std::atomic<int> video{0};
  std::atomic<int> audio{0};
  std::atomic<int> image{0};
  std::atomic<int> playlists{0};
  std::atomic<int> duplicates{0};
  std::atomic<int> unsupported{0};

  ScanCounts Snapshot() const {
    ScanCounts c;
    c.files = files.load(std::memory_order_acquire);
    c.video = video.load(std::memory_order_acquire);
    c.audio = audio.load(std::memory_order_acquire);
    c.image = image.load(std::memory_order_acquire);
    c.playlists = playlists.load(std::memory_order_acquire);
    c.duplicates = duplicates.load(std::memory_order_acquire);
    c.unsupported = unsupported.load(std::memory_order_acquire);
    return c;
  }
  void Store(const ScanCounts& c) {
    files.store(c.files, std::memory_order_release);
    video.store(c.video, std::memory_order_release);
    audio.store(c.audio, std::memory_order_release);
    image.store(c.image, std::memory_order_release);
    playlists.store(c.playlists, std::memory_order_release);
    duplicates.store(c.duplicates, std::memory_order_release);
    unsupported.store(c.unsupported, std::memory_order_release);
  }
};

AtomicCounts g_totals;
AtomicCounts g_current;

std::mutex g_hooksMutex;
std::function<void()> g_feedRefresh;
std::function<void(const std::string&)> g_entryHook;
std::atomic<bool> g_haveEntryHook{false};
std::atomic<int> g_batchEntries{scan_limits::kBatchEntries};
std::atomic<uint64_t> g_batchMaxMs{scan_limits::kBatchMaxMs};

thread_local scan_detail::ScanBatch* t_currentBatch = nullptr;

// Makes a batch current on this thread for the duration of a scan step, unless one is
// current already (a scan thread's walk), which is then reused.
class BatchScope {
 public:
  BatchScope() {
    if (t_currentBatch == nullptr) {
      own_.emplace();
      t_currentBatch = &*own_;
    }
  }
  ~BatchScope() {
    if (own_) {
      own_->Commit();
      t_currentBatch = nullptr;
    }
  }
  BatchScope(const BatchScope&) = delete;
  BatchScope& operator=(const BatchScope&) = delete;

 private:
  std::optional<scan_detail::ScanBatch> own_;
};

void DecrementClamped(std::atomic<int>& counter) {
  int value = counter.load(std::memory_order_acquire);
  while (value > 0 && !counter.compare_exchange_weak(value, value - 1, std::memory_order_acq_rel)) {
  }
}

bool IsCompressedFolderName(std::string_view name) {
  for (const char* suffix : scan_limits::kCompressedFolderSuffixes) {
    if (platform::EndsWithNoCase(name, suffix)) return true;
  }
  return false;
}

template <size_t N>
bool InArray(std::string_view ext, const char* const (&list)[N]) {
  for (const char* item : list) {
    if (ext == item) return true;
  }
  return false;
}

// ---- Item facts: size, tags and cover, read once per file ----

struct ItemFacts {
  std::string path;
  int kind = 0;
  int64_t size = 0;
  WMTagBlock tags;
  std::string cover;
};

// The first picture of a folder by the cover patterns, in pattern order; within one
// pattern the first name in byte order. kNoCover when there is none.
std::string CoverFromListing(const platform::DirListing& listing) {
  for (const char* ext : scan_limits::kCoverExtensions) {
    for (const platform::DirEntry& e : listing.entries) {
      if (!e.isDirectory && platform::EndsWithNoCase(e.name, ext)) return e.name;
    }
  }
  return scan_limits::kNoCover;
}

// One folder's cover is looked up once while its files are stored one after another.
struct CoverCache {
  std::string folder;
  std::string cover;
  bool valid = false;
};
thread_local CoverCache t_cover;

std::string CoverFor(const std::string& folder) {
  if (t_cover.valid && t_cover.folder == folder) return t_cover.cover;
  t_cover.folder = folder;
  t_cover.cover = CoverFromListing(platform::ListDirectory(folder));
  t_cover.valid = true;
  return t_cover.cover;
}

// The facts of the file being stored; the "All" row and the folder row of one file ask
// for the same facts, so they are kept for the last path asked.
thread_local ItemFacts t_facts;
thread_local bool t_factsValid = false;

const ItemFacts& FactsFor(const std::string& path, int kind) {
  if (t_factsValid && t_facts.path == path && t_facts.kind == kind) return t_facts;
  t_facts = ItemFacts();
  t_facts.path = path;
  t_facts.kind = kind;
  t_facts.size = std::max<int64_t>(0, platform::FileSize64(path));
  if (kind == kKindVideo || kind == kKindAudio || kind == kKindPlaylistEntry) {
    WMTag_Read(path, &t_facts.tags);
  }
  if (kind == kKindAudio || kind == kKindPlaylistEntry) {
    t_facts.cover = CoverFor(scan_detail::DirName(path));
  }
  t_factsValid = true;
  return t_facts;
}

void ForgetFacts() {
  t_factsValid = false;
  t_facts = ItemFacts();
}

// The row of an item or container, without its number and parent.
ObjectRow BuildRow(int32_t objectType, const std::string& storedPath, const std::string& path,
                   const std::string& name, int kind) {
  ObjectRow row;
  row.ObjectType = objectType;
  row.ProcessObjectType = objectType;
  row.FilePath = storedPath;
  row.FileName = scan_detail::DisplayName(name);
  row.FileType = scan_detail::KindWord(kind);
  if (objectType == kObjectItem) {
    const ItemFacts& facts = FactsFor(path, kind);
    row.FileSize = facts.size;
    if (kind == kKindVideo || kind == kKindAudio || kind == kKindPlaylistEntry) {
      row.Title = facts.tags.Title;
      row.Album = facts.tags.Album;
      row.Author = facts.tags.Author;
      row.Genre = facts.tags.Genre;
      row.TrackNo = facts.tags.TrackNo;
      row.Duration = facts.tags.Duration;
      row.Bitrate = facts.tags.Bitrate;
    }
    if (kind == kKindVideo) row.Flags = static_cast<int32_t>(facts.tags.Flags);
    if (kind == kKindAudio || kind == kKindPlaylistEntry) row.CDCover = facts.cover;
    if (kind == kKindPlaylist) {
      row.FileType = "Audio";
      row.Flags = kFlagPlaylist;
    }
    if (kind == kKindPlaylistEntry) {
      row.FileType = "Audio";
      row.Flags = kFlagPlaylistEntry;
    }
  }
  if (row.Title.empty()) row.Title = row.FileName;
  return row;
}

// Finds or creates the group container `tag` under `root` and stores a copy of the item
// in it.
void AddToGroup(int32_t root, const std::string& tag, const ObjectRow& item) {
  if (tag.empty()) return;
  MediaRecord found;
  int32_t group;
  if (db_getOneRecord(sql::ItemUnder(tag, tag, root), &found) > 0) {
    group = found.MyIndex;
  } else {
    ObjectRow container;
    container.MyIndex = AllocateObjectNumber();
    container.pIndex = root;
    container.ObjectType = kObjectContainer;
    container.ProcessObjectType = kObjectContainer;
    container.FilePath = tag;
    container.FileName = tag;
    container.Album = item.Album;
    container.Title = item.Title;
    container.Author = item.Author;
    container.Genre = item.Genre;
    container.FileType = "Audio";
    if (!db_execute(sql::InsertObject(container))) return;
    group = container.MyIndex;
  }
  if (db_getCount(sql::ItemUnder(item.FilePath, item.FileName, group)) > 0) return;
  ObjectRow copy = item;
  copy.MyIndex = AllocateObjectNumber();
  copy.pIndex = group;
  db_execute(sql::InsertObject(copy));
}

// ---- Deleting ----

struct DeleteState {
  std::set<int32_t> groupCandidates;
  // Containers whose deletion has begun; a damaged library whose parents form a loop
  // must not make the walk endless.
  std::set<int32_t> entered;
};

bool IsDiscMemberPath(const std::string& path) {
  return path.find("/%offset%") != std::string::npos;
}

// Notes the artist, genre and album containers of a deleted item, to be removed when
// they are left empty.
void NoteGroups(const MediaRecord& item, DeleteState* state) {
  for (const std::string* tag : {&item.Album, &item.Author, &item.Genre}) {
    if (tag->empty()) continue;
    int n = db_selectT(sql::ByPath(*tag));
    std::vector<MediaRecord> rows(db_selectResults().begin(), db_selectResults().begin() + n);
    for (const MediaRecord& r : rows) {
      bool groupRoot = r.PIndex == kContainerArtist || r.PIndex == kContainerGenre ||
                       r.PIndex == kContainerAlbum;
      if (r.ObjectType == kObjectContainer && groupRoot && r.MyIndex >= kFirstFreeObjectNumber) {
        state->groupCandidates.insert(r.MyIndex);
      }
    }
  }
}

// Deletes one item. Unless `wholeFile`, an item whose file has more rows than one
// sharing accounts for (its "All" row, its folder row and one per group tag) is shared a
// second time elsewhere: only this row goes. Otherwise every row of its path goes, with
// a playlist's entries and list file, and the totals are lowered.
void DeleteItem(const MediaRecord& item, bool wholeFile, DeleteState* state) {
  int expected = 2 + !item.Album.empty() + !item.Author.empty() + !item.Genre.empty();
  if (!wholeFile && db_getCount(sql::RowsOfSamePath(item.MyIndex)) > expected) {
    db_execute(sql::DeleteByIndex(item.MyIndex));
    return;
  }
  bool playlist = item.Flags == kFlagPlaylist && item.ObjectType == kObjectItem;
  bool entry = item.Flags == kFlagPlaylistEntry;
  if (!entry && !IsDiscMemberPath(item.FilePath)) {
    scan_detail::LowerTotals(item.FileType, playlist);
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
void DeleteSubtreeImpl(int32_t myIndex, DeleteState* state) {
  if (!state->entered.insert(myIndex).second) return;
  int n = db_selectT(sql::Children(myIndex));
  std::vector<MediaRecord> children(db_selectResults().begin(), db_selectResults().begin() + n);
  for (const MediaRecord& child : children) {
    if (child.ObjectType == kObjectContainer) {
      DeleteSubtreeImpl(child.MyIndex, state);
    } else {
      DeleteItem(child, false, state);
    }
    if (scan_detail::CurrentBatch() != nullptr) scan_detail::CurrentBatch()->Step();
  }
  db_execute(sql::DeleteByIndex(myIndex));
}

void RemoveEmptyGroups(const DeleteState& state) {
  for (int32_t group : state.groupCandidates) db_execute(sql::DeleteIfNoChildren(group));
}

// Deletes a container of a kind that its folder turned out not to hold, with anything
// left below it from an earlier scan.
void PruneContainer(int32_t container) {
  if (container < kFirstFreeObjectNumber) return;
  if (db_getCount(sql::Children(container)) == 0) {
    db_execute(sql::DeleteByIndex(container));
    return;
  }
  DeleteState state;
  DeleteSubtreeImpl(container, &state);
  RemoveEmptyGroups(state);
}

void PruneByMask(int mask, int32_t audio, int32_t video, int32_t image) {
  if ((mask & (kKindAudio | kKindPlaylist)) == 0) PruneContainer(audio);
  if ((mask & kKindVideo) == 0) PruneContainer(video);
  if ((mask & kKindImage) == 0) PruneContainer(image);
}

// Deletes `container` and the folder containers above it while they have no children.
void PruneEmptyUpward(int32_t container) {
  while (container >= kFirstFreeObjectNumber) {
    MediaRecord r;
    if (db_getOneRecord(sql::ObjectByIndex(container), &r) == 0) return;
    if (r.ObjectType != kObjectContainer || db_getCount(sql::Children(container)) > 0) return;
    db_execute(sql::DeleteByIndex(container));
    container = r.PIndex;
  }
}

// Deletes the end of a container chain with anything below it, then the containers
// above it that are left empty.
void PruneChain(int32_t container) {
  MediaRecord r;
  if (container < kFirstFreeObjectNumber ||
      db_getOneRecord(sql::ObjectByIndex(container), &r) == 0) {
    return;
  }
  PruneContainer(container);
  PruneEmptyUpward(r.PIndex);
}

// ---- Walking ----

bool SeekIndexWanted(const std::string& path, const std::string& ext) {
  return InArray(ext, scan_limits::kSeekIndexExtensions) && db_getCount(sql::ByPath(path)) == 0;
}

// Stores a playlist as an item of "All Music" and of its folder container, both naming
// one list file, and imports its entries. An already stored playlist is imported again
// into its list file.
bool AddPlaylist(const std::string& path, const std::string& name, int32_t audioParent) {
  if (audioParent < 0) return false;
  MediaRecord existing;
  int32_t number;
  std::string list;
  if (db_getOneRecord(sql::PlaylistItemNamed(audioParent, scan_detail::DisplayName(name)),
                      &existing) > 0) {
    number = existing.MyIndex;
    list = existing.FilePath;
    scan_detail::CountDuplicate();
  } else {
    number = AllocateObjectNumber();
    list = scan_detail::ListFilePath(number);
    scan_detail::AddObject(kContainerAllMusic, kObjectItem, path, name, kKindPlaylist, -1, list,
                           true);
    if (scan_detail::AddObject(audioParent, kObjectItem, path, name, kKindPlaylist, number, list,
                               false) == 0) {
      return false;
    }
  }
  Playlist_Import(path, list, number);
  return true;
}

// Stores one file of a folder. Returns the kinds it adds to its folder's mask.
int ScanFile(const std::string& path, const std::string& name, int32_t audio, int32_t video,
             int32_t image) {
  int kind = Scan_ClassifyFile(name);
  int result = 0;
  switch (kind) {
    case kKindNone:
      scan_detail::CountUnsupported();
      return 0;
    case kKindPlaylist:
      if (Scan_ExtensionIn(name, kKindPlaylist) && AddPlaylist(path, name, audio)) {
        result = kKindPlaylist;
      }
      break;
    case kKindDiscImage:
      result = Scan_DiscImage(path, audio, video, image) | kKindDiscImage;
      break;
    case kKindVideo:
    case kKindCompanion:
    case kKindAudio:
    case kKindImage: {
      int32_t all = kContainerAllImages;
      int32_t folder = image;
      if (kind & kKindVideo) {
        all = kContainerAllVideos;
        folder = video;
        if (SeekIndexWanted(path, scan_detail::ExtensionLower(name))) IndexQueueAdd(path);
      } else if (kind == kKindAudio) {
        all = kContainerAllMusic;
        folder = audio;
      }
      scan_detail::AddObject(all, kObjectItem, path, name, kind);
      FST_AddItem(folder, kObjectItem, path, name, kind, 0);
      // A companion file alone does not keep a folder's video container.
      result = (kind & kKindCompanionBit) ? kKindCompanionBit : kind;
      break;
    }
    default:
      break;
  }
  ForgetFacts();
  return result;
}

int WalkDirectory(const std::string& folder, int32_t audio, int32_t video, int32_t image,
                  bool descend, platform::DirWalkGuard& guard) {
  platform::DirWalkGuard::Scope scope(guard, folder);
  if (!scope.Entered()) return 0;
  platform::DirListing listing = platform::ListDirectory(folder);
  if (listing.error != 0) {
    platform::Logf("scan: cannot read %s: %s\n", folder.c_str(), std::strerror(listing.error));
  }
  t_cover.folder = folder;
  t_cover.cover = CoverFromListing(listing);
  t_cover.valid = true;
  int mask = 0;
  for (const platform::DirEntry& entry : listing.entries) {
    if (g_scanAbort.load(std::memory_order_acquire)) break;
    scan_detail::RunEntryHook(entry.path);
    if (entry.isHidden) continue;
    if (entry.isDirectory) {
      if (!descend || IsCompressedFolderName(entry.name)) continue;
      int32_t subAudio =
          scan_detail::AddObject(audio, kObjectContainer, entry.path, entry.name, kKindAudio) - 1;
      int32_t subVideo =
          scan_detail::AddObject(video, kObjectContainer, entry.path, entry.name, kKindVideo) - 1;
      int32_t subImage =
          scan_detail::AddObject(image, kObjectContainer, entry.path, entry.name, kKindImage) - 1;
      int sub = WalkDirectory(entry.path, subAudio, subVideo, subImage, true, guard);
      PruneByMask(sub, subAudio, subVideo, subImage);
      mask |= sub;
      // The walk below replaced the cached cover with a subfolder's.
      t_cover.valid = false;
    } else {
      mask |= ScanFile(entry.path, entry.name, audio, video, image);
    }
    if (scan_detail::CurrentBatch() != nullptr) scan_detail::CurrentBatch()->Step();
  }
  return mask;
}

bool FolderIsGone(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return !S_ISDIR(st.st_mode);
  return errno == ENOENT || errno == ENOTDIR;
}

// The folder's row is marked first and deleted last, so that a removal cut short (its
// batches commit one by one) is finished by the next start rather than leaving objects of
// a folder that is no longer shared.
void RemoveSharedFolderLocked(const std::string& path) {
  BatchScope batch;
  db_execute(sql::SetSharedFolderFlags(path, kSharedFolderRemovalPending));
  DeleteState state;
  for (int32_t root : {kContainerAudioFolders, kContainerVideoFolders, kContainerImageFolders}) {
    MediaRecord r;
    while (db_getOneRecord(sql::FolderUnder(path, root), &r) > 0) {
      DeleteSubtreeImpl(r.MyIndex, &state);
    }
  }
  RemoveEmptyGroups(state);
  db_execute(sql::DeleteSharedFolder(path));
}

// The shared folder that holds `path` (the longest one), or empty.
std::string SharedFolderOf(const std::string& path) {
  std::string best;
  for (const SharedFolderRecord& shared : db_listSharedFolders()) {
    std::string_view dir = platform::WithoutTrailingSlashes(shared.DirPath);
    bool inside =
        path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                        (dir == "/" || path[dir.size()] == '/'));
    if (inside && shared.DirPath.size() > best.size()) best = shared.DirPath;
  }
  return best;
}

// The folder names from `shared` down to `dir` (both as given), or nothing when one of
// them is a name the scan never enters.
std::optional<std::vector<std::string>> FoldersBelow(const std::string& shared,
                                                     const std::string& dir) {
  std::vector<std::string> names;
  std::string_view base = platform::WithoutTrailingSlashes(shared);
  if (dir.size() <= base.size()) return names;
  std::string rest = dir.substr(base.size());
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t next = rest.find('/', pos);
    if (next == std::string::npos) next = rest.size();
    std::string name = rest.substr(pos, next - pos);
    if (!name.empty()) {
      if (name[0] == '.' || IsCompressedFolderName(name)) return std::nullopt;
      names.push_back(name);
    }
    pos = next + 1;
  }
  return names;
}

// Finds or creates the folder containers from the shared folder's container under
// `root` down to `dir`; returns the last one, or -1.
int32_t EnsureChain(int32_t root, int kind, const std::string& shared,
                    const std::vector<std::string>& names) {
  int32_t container = scan_detail::AddObject(root, kObjectContainer, shared, shared, kind) - 1;
  std::string path(platform::WithoutTrailingSlashes(shared));
  for (const std::string& name : names) {
    if (container < 0) return -1;
    path += "/" + name;
    container = scan_detail::AddObject(container, kObjectContainer, path, name, kind) - 1;
  }
  return container;
}

void EmptyWorkDirectory(const char* name) {
  std::string dir = platform::AppPath(name);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir, ec);
}

void RebuildEmptyLibrary(bool dropSharedFolders) {
  Scan_SetLibraryTotals(ScanCounts());
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
  std::function<void()> refresh;
  {
    std::lock_guard lock(g_hooksMutex);
    refresh = g_feedRefresh;
  }
  if (refresh) refresh();
  EmptyWorkDirectory(scan_limits::kCacheDirectory);
  EmptyWorkDirectory(scan_limits::kThumbnailDirectory);
  db_invalidateBrowse();
}

}  // namespace

// ---- scan_detail ----

namespace scan_detail {

std::string ExtensionLower(std::string_view name) {
  return platform::AsciiLower(platform::PathExtension(name));
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string DisplayName(std::string_view raw) { return platform::Text8ToUtf8(raw); }

const char* KindWord(int kind) {
  switch (kind) {
    case kKindVideo:
      return "Video";
    case kKindAudio:
      return "Audio";
    case kKindImage:
      return "Image";
    default:
      return "";
  }
}

std::string ListFilePath(int32_t number) {
  return platform::AppPath(scan_limits::kCacheDirectory) + "/" + std::to_string(number) +
         scan_limits::kListFileExtension;
}

void CountAdded(int kind) {
  if (kind == kKindPlaylistEntry) return;
  for (AtomicCounts* c : {&g_totals, &g_current}) {
    c->files.fetch_add(1, std::memory_order_acq_rel);
    if (kind == kKindVideo) c->video.fetch_add(1, std::memory_order_acq_rel);
    if (kind == kKindAudio) c->audio.fetch_add(1, std::memory_order_acq_rel);
    if (kind == kKindImage) c->image.fetch_add(1, std::memory_order_acq_rel);
    if (kind == kKindPlaylist) c->playlists.fetch_add(1, std::memory_order_acq_rel);
  }
}

void CountDuplicate() {
  g_totals.duplicates.fetch_add(1, std::memory_order_acq_rel);
  g_current.duplicates.fetch_add(1, std::memory_order_acq_rel);
}

void CountUnsupported() { g_current.unsupported.fetch_add(1, std::memory_order_acq_rel); }

void LowerTotals(const std::string& fileType, bool playlist) {
  DecrementClamped(g_totals.files);
  if (playlist) {
    DecrementClamped(g_totals.playlists);
  } else if (fileType == "Video") {
    DecrementClamped(g_totals.video);
  } else if (fileType == "Audio") {
    DecrementClamped(g_totals.audio);
  } else if (fileType == "Image") {
    DecrementClamped(g_totals.image);
  }
}

int AddObject(int32_t parent, int32_t objectType, const std::string& path, const std::string& name,
              int kind, int32_t number, const std::string& listPath, bool countIt) {
  std::string stored = path;
  if (kind == kKindPlaylist && objectType == kObjectItem) {
    if (listPath.empty()) {
      if (parent < 0) return 0;
      if (number < 0) number = AllocateObjectNumber();
      stored = ListFilePath(number);
    } else {
      stored = listPath;
    }
  }
  MediaRecord existing;
  if (objectType != kObjectItem) {
    if (db_getOneRecord(sql::FolderUnder(stored, parent), &existing) > 0) {
      return existing.MyIndex + 1;
    }
  } else if (db_getOneRecord(sql::ItemUnder(stored, DisplayName(name), parent), &existing) > 0) {
    CountDuplicate();
    return existing.MyIndex + 1;
  }
  if (parent < 0) return 0;
  ObjectRow row = BuildRow(objectType, stored, path, name, kind);
  row.MyIndex = number >= 0 ? number : AllocateObjectNumber();
  row.pIndex = parent;
  if (!db_execute(sql::InsertObject(row))) return 0;
  if (objectType == kObjectItem && countIt) CountAdded(kind);
  return row.MyIndex + 1;
}

ScanBatch::ScanBatch() { Begin(); }

ScanBatch::~ScanBatch() { Commit(); }

void ScanBatch::Begin() {
  transaction_.emplace();
  entries_ = 0;
  startedMs_ = platform::TickCountMs();
}

void ScanBatch::Commit() {
  if (!transaction_) return;
  if (!transaction_->Commit()) platform::Log("scan: a batch of library writes failed\n");
  transaction_.reset();
}

void ScanBatch::Step() {
  ++entries_;
  if (entries_ < g_batchEntries.load(std::memory_order_relaxed) &&
      platform::TickCountMs() - startedMs_ < g_batchMaxMs.load(std::memory_order_relaxed)) {
    return;
  }
  Commit();
  platform::SleepMs(scan_limits::kBatchPauseMs);
  Begin();
}

ScanBatch* CurrentBatch() { return t_currentBatch; }

void RunEntryHook(const std::string& path) {
  if (!g_haveEntryHook.load(std::memory_order_acquire)) return;
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(g_hooksMutex);
    hook = g_entryHook;
  }
  if (hook) hook(path);
}

}  // namespace scan_detail

// ---- Counters and hooks ----

ScanCounts Scan_LibraryTotals() { return g_totals.Snapshot(); }

void Scan_SetLibraryTotals(const ScanCounts& totals) { g_totals.Store(totals); }

void Scan_LoadLibraryTotals() {
  LibraryItemCounts counts = db_countItems();
  ScanCounts totals;
  totals.video = counts.video;
  totals.audio = counts.audio;
  totals.image = counts.image;
  totals.files = counts.shared;
  Scan_SetLibraryTotals(totals);
}

ScanCounts Scan_CurrentCounts() { return g_current.Snapshot(); }

void Scan_ResetCurrentCounts() { g_current.Store(ScanCounts()); }

void Scan_SetFeedRefresh(std::function<void()> refresh) {
  std::lock_guard lock(g_hooksMutex);
  g_feedRefresh = std::move(refresh);
}

void Scan_SetEntryHookForTest(std::function<void(const std::string& path)> hook) {
  std::lock_guard lock(g_hooksMutex);
  g_haveEntryHook.store(static_cast<bool>(hook), std::memory_order_release);
  g_entryHook = std::move(hook);
}

void Scan_SetBatchLimitsForTest(int entries, uint64_t maxMs) {
  g_batchEntries.store(entries > 0 ? entries : scan_limits::kBatchEntries);
  g_batchMaxMs.store(maxMs > 0 ? maxMs : scan_limits::kBatchMaxMs);
}

// ---- Classification ----

int Scan_ClassifyFile(const std::string& fileName) {
  std::string ext = scan_detail::ExtensionLower(scan_detail::BaseName(fileName));
  if (ext.empty()) return kKindNone;
  if (ext == ".mpeg") ext = ".mpg";
  if (ext == ".iso") return kKindDiscImage;
  if (ExtensionInFilters(ext, kFilterVideo)) {
    return InArray(ext, scan_limits::kCompanionExtensions) ? kKindCompanion : kKindVideo;
  }
  if (ExtensionInFilters(ext, kFilterAudio)) return kKindAudio;
  if (ExtensionInFilters(ext, kFilterImage)) return kKindImage;
  if (ExtensionInFilters(ext, kFilterPlaylist)) return kKindPlaylist;
  if (ext == scan_limits::kListFileExtension) return kKindPlaylist;
  return kKindNone;
}

int Scan_ExtensionIn(const std::string& fileName, int kindMask) {
  std::string ext = scan_detail::ExtensionLower(scan_detail::BaseName(fileName));
  if (ext.empty()) return 0;
  return ExtensionInFilters(ext, kindMask) ? 1 : 0;
}

// ---- Building blocks ----

int FST_AddObject(int32_t parent, int32_t objectType, const std::string& path,
                  const std::string& name, int kind) {
  return scan_detail::AddObject(parent, objectType, path, name, kind);
}

void FST_AddItem(int32_t parent, int32_t objectType, const std::string& path,
                 const std::string& name, int kind, int32_t internetFlags) {
  if (parent < 0) return;
  std::string fileName = scan_detail::DisplayName(name);
  if (db_getCount(sql::ItemUnder(path, fileName, parent)) > 0) return;
  ObjectRow row = BuildRow(objectType, path, path, name, kind);
  // The folder row keeps the metadata flags of the "All" row: a client browsing the
  // folders must learn as well that a video cannot be played as it is.
  row.InternetFlags = internetFlags;
  row.MyIndex = AllocateObjectNumber();
  row.pIndex = parent;
  if (!db_execute(sql::InsertObject(row))) return;
  if (objectType != kObjectItem || row.FileType.rfind("Audio", 0) != 0) return;
  AddToGroup(kContainerArtist, row.Author, row);
  AddToGroup(kContainerGenre, row.Genre, row);
  AddToGroup(kContainerAlbum, row.Album, row);
}

int Scan_Directory(const std::string& folder, int32_t audioParent, int32_t videoParent,
                   int32_t imageParent, bool descend) {
  BatchScope batch;
  platform::DirWalkGuard guard;
  return WalkDirectory(folder, audioParent, videoParent, imageParent, descend, guard);
}

void Scan_SharedFolder(const std::string& folder) {
  BatchScope batch;
  if (FolderIsGone(folder)) {
    platform::Logf("scan: shared folder %s no longer exists; removing it\n", folder.c_str());
    RemoveSharedFolderLocked(folder);
    return;
  }
  int32_t audio =
      scan_detail::AddObject(kContainerAudioFolders, kObjectContainer, folder, folder, kKindAudio) -
      1;
  int32_t video =
      scan_detail::AddObject(kContainerVideoFolders, kObjectContainer, folder, folder, kKindVideo) -
      1;
  int32_t image =
      scan_detail::AddObject(kContainerImageFolders, kObjectContainer, folder, folder, kKindImage) -
      1;
  platform::DirWalkGuard guard;
  int mask = WalkDirectory(folder, audio, video, image, true, guard);
  PruneByMask(mask, audio, video, image);
}

void Lib_DeleteSubtree(int32_t myIndex) {
  BatchScope batch;
  DeleteState state;
  DeleteSubtreeImpl(myIndex, &state);
  RemoveEmptyGroups(state);
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
  g_scanIdle.store(false, std::memory_order_release);
  {
    std::lock_guard lock(ScanFilesMutex);
    g_scanAbort.store(false, std::memory_order_release);
    RemoveSharedFolderLocked(path);
  }
  g_scanRunning.store(false, std::memory_order_release);
  db_invalidateBrowse();
  g_scanIdle.store(true, std::memory_order_release);
}

void Lib_Clear() {
  std::lock_guard lock(ScanFilesMutex);
  RebuildEmptyLibrary(true);
}

void scan_detail::RebuildEmptyLibraryLocked() { RebuildEmptyLibrary(false); }

void scan_detail::RemoveSharedFolderLocked(const std::string& path) {
  ::RemoveSharedFolderLocked(path);
}

// ---- Incremental forms ----

void Scan_AddPath(const std::string& path) {
  if (db_getCount(sql::ByPath(path)) > 0) return;
  std::string name = scan_detail::BaseName(path);
  if (name.empty() || name[0] == '.') return;
  int kind = Scan_ClassifyFile(name);
  if (kind == kKindNone) return;
  std::string shared = SharedFolderOf(path);
  if (shared.empty()) return;
  std::optional<std::vector<std::string>> names = FoldersBelow(shared, scan_detail::DirName(path));
  if (!names) return;
  {
    BatchScope batch;
    bool disc = kind == kKindDiscImage;
    int32_t audio = (disc || kind == kKindAudio || kind == kKindPlaylist)
                        ? EnsureChain(kContainerAudioFolders, kKindAudio, shared, *names)
                        : -1;
    int32_t video = (disc || (kind & kKindVideo))
                        ? EnsureChain(kContainerVideoFolders, kKindVideo, shared, *names)
                        : -1;
    int32_t image = (disc || kind == kKindImage)
                        ? EnsureChain(kContainerImageFolders, kKindImage, shared, *names)
                        : -1;
    t_cover.valid = false;
    int mask = ScanFile(path, name, audio, video, image);
    if ((mask & (kKindAudio | kKindPlaylist)) == 0) PruneEmptyUpward(audio);
    if ((mask & kKindVideo) == 0) PruneEmptyUpward(video);
    if ((mask & kKindImage) == 0) PruneEmptyUpward(image);
  }
  db_invalidateBrowse();
}

void Scan_AddFolder(const std::string& path) {
  std::string name = scan_detail::BaseName(path);
  std::string shared = SharedFolderOf(path);
  if (shared.empty()) return;
  std::optional<std::vector<std::string>> names = FoldersBelow(shared, path);
  if (!names) return;
  {
    BatchScope batch;
    int32_t audio = EnsureChain(kContainerAudioFolders, kKindAudio, shared, *names);
    int32_t video = EnsureChain(kContainerVideoFolders, kKindVideo, shared, *names);
    int32_t image = EnsureChain(kContainerImageFolders, kKindImage, shared, *names);
    platform::DirWalkGuard guard;
    int mask = WalkDirectory(path, audio, video, image, true, guard);
    // Anything left below a container of a missing kind is from an earlier scan.
    if ((mask & (kKindAudio | kKindPlaylist)) == 0) PruneChain(audio);
    if ((mask & kKindVideo) == 0) PruneChain(video);
    if ((mask & kKindImage) == 0) PruneChain(image);
  }
  db_invalidateBrowse();
}

void Scan_RemovePath(const std::string& path) {
  {
    BatchScope batch;
    std::string name = scan_detail::BaseName(path);
    int kind = Scan_ClassifyFile(name);
    int n = db_selectT(sql::ByPath(path));
    std::vector<MediaRecord> rows(db_selectResults().begin(), db_selectResults().begin() + n);
    DeleteState state;
    if (kind == kKindNone || kind == kKindDiscImage) {
      // A folder, or a disc image whose containers carry the image's path.
      for (const MediaRecord& r : rows) {
        if (r.ObjectType == kObjectContainer) DeleteSubtreeImpl(r.MyIndex, &state);
      }
    } else if (kind == kKindPlaylist) {
      // A playlist's rows carry its list file's path; they are found by name in the
      // folder containers of its directory.
      int m = db_selectT(sql::ByPath(scan_detail::DirName(path)));
      std::vector<MediaRecord> folders(db_selectResults().begin(), db_selectResults().begin() + m);
      for (const MediaRecord& folder : folders) {
        MediaRecord item;
        if (folder.ObjectType == kObjectContainer &&
            db_getOneRecord(sql::PlaylistItemNamed(folder.MyIndex, scan_detail::DisplayName(name)),
                            &item) > 0) {
          DeleteItem(item, true, &state);
        }
      }
    } else {
      for (const MediaRecord& r : rows) {
        if (r.ObjectType == kObjectItem) {
          DeleteItem(r, true, &state);
          break;  // every row of the path is gone now
        }
      }
      db_execute(sql::DeleteByPath(path));
    }
    RemoveEmptyGroups(state);
    // Folder containers above the path that are left empty go too, up to "/".
    std::string dir = path;
    for (;;) {
      size_t slash = dir.rfind('/');
      if (slash == std::string::npos || slash == 0) break;
      dir.resize(slash);
      int k = db_selectT(sql::ByPath(dir));
      std::vector<MediaRecord> parents(db_selectResults().begin(), db_selectResults().begin() + k);
      for (const MediaRecord& p : parents) {
        if (p.ObjectType == kObjectContainer && p.MyIndex >= kFirstFreeObjectNumber) {
          db_execute(sql::DeleteIfNoChildren(p.MyIndex));
        }
      }
    }
  }
  db_invalidateBrowse();
}
