#include "library/build/file_system_tree.h"

#include "library/build/container_tree.h"
#include "library/build/scan_internal.h"
#include "library/build/scanner.h"
#include "library/build/subtitle_scan.h"
#include "library/library.h"
#include "library/object_numbers.h"
#include "library/statements.h"

namespace {

// The parent of the root and of the favourites containers, which hang under no container.
constexpr int32_t kNoParent = -1;

struct FixedContainer {
  int32_t number;
  int32_t parent;
  const char* title;
  const char* path;  // equal to the title except for the last YouTube category
  const char* kind;
};

constexpr FixedContainer kLocalContainers[] = {
    {kContainerVideo, kContainerRoot, "Video", "Video", "Video"},
    {kContainerAudio, kContainerRoot, "Audio", "Audio", "Audio"},
    {kContainerImage, kContainerRoot, "Image", "Image", "Image"},
    {kContainerAllVideos, kContainerVideo, "All Videos", "All Videos", "Video"},
    {kContainerVideoFavorites, kNoParent, "My Favorites", "My Favorites", "Video"},
    {kContainerVideoFolders, kContainerVideo, "My Folders", "My Folders", "Video"},
    {kContainerAllMusic, kContainerAudio, "All Music", "All Music", "Audio"},
    {kContainerArtist, kContainerAudio, "Artist", "Artist", "Audio"},
    {kContainerGenre, kContainerAudio, "Genre", "Genre", "Audio"},
    {kContainerAlbum, kContainerAudio, "Album", "Album", "Audio"},
    {kContainerAudioFavorites, kNoParent, "My Favorites", "My Favorites", "Audio"},
    {kContainerAudioFolders, kContainerAudio, "My Folder", "My Folder", "Audio"},
    {kContainerAllImages, kContainerImage, "All Images", "All Images", "Image"},
    {kContainerImageFavorites, kNoParent, "My Favorites", "My Favorites", "Image"},
    {kContainerImageFolders, kContainerImage, "My Folders", "My Folders", "Image"},
};

constexpr FixedContainer kInternetContainers[] = {
    {kContainerInternetVideos, kContainerVideo, "Internet Videos", "Internet Videos", "Video"},
    {kContainerInternetAllVideos, kContainerInternetVideos, "All Videos", "All Videos", "Video"},
    {kContainerInternetAudio, kContainerAudio, "Internet Audio", "Internet Audio", "Video"},
    {kContainerInternetAllAudio, kContainerInternetAudio, "All Audio", "All Audio", "Video"},
};

// Titles and paths of the YouTube categories, numbered from the counter in this order.
constexpr std::pair<const char*, const char*> kYoutubeCategories[] = {
    {"Recently featured", "Recently featured"}, {"Top rated", "Top rated"},
    {"Top favorites", "Top favorites"},         {"Most viewed", "Most viewed"},
    {"Most discussed", "Most discussed"},       {"Most linked", "Most linked"},
    {"Most responded", "most responded"},
};

// A failed insert (the row is already there) is ignored: the tree is rebuilt over an
// existing one without harm.
void InsertContainer(int32_t number, int32_t parent, const char* title, const char* path,
                     const char* kind, int32_t internetFlags) {
  ObjectRow row;
  row.MyIndex = number;
  row.pIndex = parent;
  row.ObjectType = kObjectContainer;
  row.ProcessObjectType = kObjectContainer;
  row.FilePath = path;
  row.FileName = title;
  row.FileType = kind;
  row.InternetFlags = internetFlags;
  db_execute(sql::InsertObject(row));
}

// The row of an item or container, without its number and parent.
ObjectRow BuildRow(scan_detail::CScanRun& run, int32_t objectType, const std::string& storedPath,
                   const std::string& path, const std::string& name, int kind) {
  ObjectRow row;
  row.ObjectType = objectType;
  row.ProcessObjectType = objectType;
  row.FilePath = storedPath;
  row.FileName = scan_detail::DisplayName(name);
  row.FileType = scan_detail::KindWord(kind);
  if (objectType == kObjectItem) {
    const scan_detail::CItemFacts& facts = run.FactsFor(path, kind);
    row.FileSize = facts.size;
    if (kind == kKindVideo || kind == kKindAudio || kind == kKindPlaylistEntry) {
      row.Title = facts.tags.Title;
      row.Album = facts.tags.Album;
      row.Author = facts.tags.Author;
      row.Genre = facts.tags.Genre;
      row.TrackNo = facts.tags.TrackNo;
      row.Year = facts.tags.Year;
      row.Duration = facts.tags.Duration;
      row.Bitrate = facts.tags.Bitrate;
    }
    if (kind == kKindVideo) {
      row.Flags = static_cast<int32_t>(facts.tags.Flags);
      row.Subtitle = SubtitleScan_ForVideo(path);
    }
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

}  // namespace

void FST_BuildTree() {
  LibraryTransaction batch;
  ObjectRow root;
  root.withIndex = false;
  root.pIndex = kNoParent;
  root.ObjectType = kObjectContainer;
  root.ProcessObjectType = kObjectContainer;
  root.FilePath = "Root";
  root.FileName = "Root";
  db_execute(sql::InsertObject(root));

  for (const FixedContainer& c : kLocalContainers) {
    InsertContainer(c.number, c.parent, c.title, c.path, c.kind, kInternetNone);
  }
  for (const FixedContainer& c : kInternetContainers) {
    InsertContainer(c.number, c.parent, c.title, c.path, c.kind, kInternetVideo);
  }
  InsertContainer(kContainerYoutube, kContainerInternetVideos, "Youtube", "Youtube", "Video",
                  kInternetVideo);
  g_nextMyIndex.store(kContainerYoutubeFirst, std::memory_order_release);
  for (const auto& [title, path] : kYoutubeCategories) {
    InsertContainer(AllocateObjectNumber(), kContainerYoutube, title, path, "Video",
                    kInternetVideo);
  }
  // One number is skipped: the first scanned object is kFirstFreeObjectNumber.
  g_nextMyIndex.store(kFirstFreeObjectNumber, std::memory_order_release);
  batch.Commit();
}

// ---- Storing the user's files ----

namespace scan_detail {

int AddObject(CScanRun& run, int32_t parent, int32_t objectType, const std::string& path,
              const std::string& name, int kind, int32_t number, const std::string& listPath,
              bool countIt) {
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
    Scanner().CountDuplicate();
    return existing.MyIndex + 1;
  }
  if (parent < 0) return 0;
  ObjectRow row = BuildRow(run, objectType, stored, path, name, kind);
  row.MyIndex = number >= 0 ? number : AllocateObjectNumber();
  row.pIndex = parent;
  if (!db_execute(sql::InsertObject(row))) return 0;
  if (objectType == kObjectItem && countIt) Scanner().CountAdded(kind);
  return row.MyIndex + 1;
}

void AddItem(CScanRun& run, int32_t parent, int32_t objectType, const std::string& path,
             const std::string& name, int kind, int32_t internetFlags) {
  if (parent < 0) return;
  std::string fileName = DisplayName(name);
  if (db_getCount(sql::ItemUnder(path, fileName, parent)) > 0) return;
  ObjectRow row = BuildRow(run, objectType, path, path, name, kind);
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

}  // namespace scan_detail

int FST_AddObject(int32_t parent, int32_t objectType, const std::string& path,
                  const std::string& name, int kind) {
  scan_detail::CScanRun run;
  return scan_detail::AddObject(run, parent, objectType, path, name, kind);
}

void FST_AddItem(int32_t parent, int32_t objectType, const std::string& path,
                 const std::string& name, int kind, int32_t internetFlags) {
  scan_detail::CScanRun run;
  scan_detail::AddItem(run, parent, objectType, path, name, kind, internetFlags);
}
