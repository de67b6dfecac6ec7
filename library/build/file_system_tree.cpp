#include "library/build/file_system_tree.h"

#include "library/build/container_tree.h"
#include "library/library.h"
#include "library/object_numbers.h"
#include "library/statements.h"

namespace {

struct FixedContainer {
  int32_t number;
  int32_t parent;
  const char* title;
  const char* path;  // equal to the title except for the last YouTube category
  const char* kind;
};

constexpr FixedContainer kLocalContainers[] = {
    {1, 0, "Video", "Video", "Video"},
    {2, 0, "Audio", "Audio", "Audio"},
    {3, 0, "Image", "Image", "Image"},
    {4, 1, "All Videos", "All Videos", "Video"},
    {5, -1, "My Favorites", "My Favorites", "Video"},
    {6, 1, "My Folders", "My Folders", "Video"},
    {7, 2, "All Music", "All Music", "Audio"},
    {8, 2, "Artist", "Artist", "Audio"},
    {9, 2, "Genre", "Genre", "Audio"},
    {10, 2, "Album", "Album", "Audio"},
    {11, -1, "My Favorites", "My Favorites", "Audio"},
    {12, 2, "My Folder", "My Folder", "Audio"},
    {13, 3, "All Images", "All Images", "Image"},
    {14, -1, "My Favorites", "My Favorites", "Image"},
    {15, 3, "My Folders", "My Folders", "Image"},
};

constexpr FixedContainer kInternetContainers[] = {
    {16, 1, "Internet Videos", "Internet Videos", "Video"},
    {17, 16, "All Videos", "All Videos", "Video"},
    {18, 2, "Internet Audio", "Internet Audio", "Video"},
    {19, 18, "All Audio", "All Audio", "Video"},
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
  root.pIndex = -1;
  root.ObjectType = kObjectContainer;
  root.ProcessObjectType = kObjectContainer;
  root.FilePath = "Root";
  root.FileName = "Root";
  db_execute(sql::InsertObject(root));

  for (const FixedContainer& c : kLocalContainers) {
    InsertContainer(c.number, c.parent, c.title, c.path, c.kind, 0);
  }
  for (const FixedContainer& c : kInternetContainers) {
    InsertContainer(c.number, c.parent, c.title, c.path, c.kind, 1);
  }
  InsertContainer(kContainerYoutube, kContainerInternetVideos, "Youtube", "Youtube", "Video", 1);
  g_nextMyIndex.store(kContainerYoutubeFirst, std::memory_order_release);
  for (const auto& [title, path] : kYoutubeCategories) {
    InsertContainer(AllocateObjectNumber(), kContainerYoutube, title, path, "Video", 1);
  }
  // 28 is skipped: the first scanned object is 29.
  g_nextMyIndex.store(kFirstFreeObjectNumber, std::memory_order_release);
  batch.Commit();
}
