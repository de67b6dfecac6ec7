#include "library/build/container_tree.h"

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
