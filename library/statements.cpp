#include "library/statements.h"

#include "library/collation.h"
#include "library/container_numbers.h"
#include "library/media_record.h"

namespace sql {
namespace {

std::string Text(std::string_view v) { return std::string(v); }

}  // namespace

Sql AllObjects() { return {"select * from FSE_QueryState", {}}; }

Sql ObjectByIndex(int32_t myIndex) {
  return {"select * from FSE_QueryState where MyIndex = ?", {int64_t{myIndex}}};
}

Sql ObjectByIdText(std::string_view objectId) {
  // Bound as text: the integer column converts a decimal text for the comparison, and
  // anything else simply matches no row.
  return {"select * from FSE_QueryState where MyIndex = ?", {Text(objectId)}};
}

Sql Children(int32_t pIndex) {
  return {"select * from FSE_QueryState where pIndex = ?", {int64_t{pIndex}}};
}

Sql ByPath(std::string_view path) {
  return {"select * from FSE_QueryState where FilePath = ?", {Text(path)}};
}

Sql FolderUnder(std::string_view path, int32_t pIndex) {
  return {"select * from FSE_QueryState where FilePath = ? and pIndex = ?",
          {Text(path), int64_t{pIndex}}};
}

Sql ItemUnder(std::string_view path, std::string_view fileName, int32_t pIndex) {
  return {"select * from FSE_QueryState where FilePath = ? and FileName = ? and pIndex = ?",
          {Text(path), Text(fileName), int64_t{pIndex}}};
}

Sql DiscObjectsOfType(int32_t objectType) {
  return {"select * from FSE_QueryState where Flags = 256 and (ObjectType = ?)",
          {int64_t{objectType}}};
}

Sql DiscObjectNamed(int32_t pIndex, std::string_view fileName) {
  return {"select * from FSE_QueryState where Flags = 256 and (pIndex = ? and FileName = ?)",
          {int64_t{pIndex}, Text(fileName)}};
}

Sql InternetItem(std::string_view path, std::string_view fileName, int32_t internetFlags) {
  return {"select * from FSE_QueryState where FilePath = ? and FileName = ? and InternetFlags = ?",
          {Text(path), Text(fileName), int64_t{internetFlags}}};
}

Sql InternetVideoItems() {
  return {
      "select * from FSE_QueryState where InternetFlags = 1 and ObjectType = 1 and "
      "(pIndex = 16 or pIndex = 20 or pIndex = 21 or pIndex = 22 or pIndex = 23 or "
      "pIndex = 24 or pIndex = 25 or pIndex = 26)",
      {}};
}

Sql InternetAudioItems() {
  return {
      "select * from FSE_QueryState where InternetFlags = 2 and ObjectType = 1 and "
      "(pIndex = 18 or pIndex = 20 or pIndex = 21 or pIndex = 22 or pIndex = 23 or "
      "pIndex = 24 or pIndex = 25 or pIndex = 26)",
      {}};
}

Sql CountSharedItems() {
  return {
      "select MyIndex from FSE_QueryState where ObjectType = 1 and "
      "(pIndex=4 or pIndex=7 or pIndex=13 or Flags=17)",
      {}};
}
Sql CountVideoItems() {
  return {"select MyIndex from FSE_QueryState where ObjectType = 1 and pIndex=4", {}};
}
Sql CountAudioItems() {
  return {"select MyIndex from FSE_QueryState where ObjectType = 1 and pIndex=7", {}};
}
Sql CountImageItems() {
  return {"select MyIndex from FSE_QueryState where ObjectType = 1 and pIndex=13", {}};
}
Sql CountFlags17Items() {
  return {"select MyIndex from FSE_QueryState where ObjectType = 1 and Flags=17", {}};
}

Sql InsertObject(const ObjectRow& r) {
  Sql s;
  s.text =
      "insert into FSE_QueryState (MyIndex, pIndex, Flags, ObjectType, ProcessObjectType, "
      "FilePathLen, FilePath, FileNameLen, FileName, Album, Title, Author, Genre, TrackNo, "
      "Duration, Bitrate, FileSize, FileType, InternetFlags, CDCover, Favorite, AlbumSortKey, "
      "FileNameSortKey, Year, Subtitle) values "
      "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
  s.values = {int64_t{r.withIndex ? r.MyIndex : 0},
              int64_t{r.pIndex},
              int64_t{r.Flags},
              int64_t{r.ObjectType},
              int64_t{r.ProcessObjectType},
              int64_t{Utf8CharCount(r.FilePath)},
              r.FilePath,
              int64_t{Utf8CharCount(r.FileName)},
              r.FileName,
              r.Album,
              r.Title,
              r.Author,
              r.Genre,
              int64_t{r.TrackNo},
              int64_t{r.Duration},
              int64_t{r.Bitrate},
              r.FileSize,
              r.FileType,
              int64_t{r.InternetFlags},
              r.CDCover,
              int64_t{r.Favorite},
              NoCaseSortKey(r.Album),
              NoCaseSortKey(r.FileName),
              int64_t{r.Year},
              r.Subtitle};
  return s;
}

Sql UpdateTags(std::string_view path, std::string_view title, std::string_view author,
               std::string_view album, std::string_view genre) {
  return {
      "update FSE_QueryState set Title = ?, Author = ?, Album = ?, Genre = ?, "
      "AlbumSortKey = ? where FilePath = ?",
      {Text(title), Text(author), Text(album), Text(genre), NoCaseSortKey(album), Text(path)}};
}

Sql UpdateSubtitle(std::string_view path, std::string_view subtitle) {
  return {"update FSE_QueryState set Subtitle = ? where FilePath = ? and Subtitle <> ?",
          {Text(subtitle), Text(path), Text(subtitle)}};
}

Sql AlbumArtPending(int32_t after, int32_t limit) {
  return {
      "select * from FSE_QueryState where MyIndex in (select MyIndex from FSE_QueryState "
      "where AlbumArt = '' and MyIndex > ? and ObjectType = ? and InternetFlags = 0 and "
      "FileType in ('Audio', 'Video', 'Image') order by MyIndex limit ?)",
      {int64_t{after}, int64_t{kObjectItem}, int64_t{limit}}};
}

Sql UpdateAlbumArt(int32_t myIndex, std::string_view filePath, std::string_view albumArt) {
  return {
      "update FSE_QueryState set AlbumArt = ? where MyIndex = ? and FilePath = ? and "
      "AlbumArt = ''",
      {Text(albumArt), int64_t{myIndex}, Text(filePath)}};
}

Sql DeleteByIndex(int32_t myIndex) {
  return {"delete from FSE_QueryState where MyIndex = ?", {int64_t{myIndex}}};
}

Sql DeleteChildren(int32_t pIndex) {
  return {"delete from FSE_QueryState where pIndex = ?", {int64_t{pIndex}}};
}

Sql DeleteByPath(std::string_view path) {
  return {"delete from FSE_QueryState where FilePath = ?", {Text(path)}};
}

Sql DeleteInternetItem(std::string_view path, std::string_view fileName, int32_t internetFlags) {
  return {"delete from FSE_QueryState where FilePath = ? and FileName = ? and InternetFlags = ?",
          {Text(path), Text(fileName), int64_t{internetFlags}}};
}

Sql FilesUnder(std::string_view folder) {
  std::string prefix(folder);
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  return {
      "select distinct FilePath from FSE_QueryState where ObjectType = 1 and "
      "InternetFlags = 0 and substr(FilePath, 1, length(?)) = ?",
      {Text(prefix), Text(prefix)}};
}

Sql DeleteAllObjects() { return {"delete from FSE_QueryState", {}}; }

Sql AllSharedFolders() { return {"select * from Shared_Folder", {}}; }

Sql SharedFolder(std::string_view dirPath) {
  return {"select * from Shared_Folder where DirPath = ?", {Text(dirPath)}};
}

Sql InsertSharedFolder(std::string_view dirPath, int32_t flags) {
  return {"insert into Shared_Folder (DirPath, Flags, VolumeName) values (?, ?, '')",
          {Text(dirPath), int64_t{flags}}};
}

Sql SetSharedFolderFlags(std::string_view dirPath, int32_t flags) {
  return {"update Shared_Folder set Flags = ? where DirPath = ?", {int64_t{flags}, Text(dirPath)}};
}

Sql SetAllSharedFolderFlags(int32_t flags) {
  return {"update Shared_Folder set Flags = ?", {int64_t{flags}}};
}

Sql DeleteSharedFolder(std::string_view dirPath) {
  return {"delete from Shared_Folder where DirPath = ?", {Text(dirPath)}};
}

Sql DeleteAllSharedFolders() { return {"delete from Shared_Folder", {}}; }

Sql GetSetting(std::string_view key) {
  return {"select * from AVP where my_attribute = ?", {Text(key)}};
}

Sql SetSetting(std::string_view key, std::string_view value) {
  return {"update AVP set my_value = ? where my_attribute = ?", {Text(value), Text(key)}};
}

}  // namespace sql

namespace sql {

Sql RowsOfSamePath(int32_t myIndex) {
  return {
      "select * from FSE_QueryState where FilePath = "
      "(select FilePath from FSE_QueryState where MyIndex = ?)",
      {int64_t{myIndex}}};
}

Sql DeleteRowsOfSamePath(int32_t myIndex) {
  return {
      "delete from FSE_QueryState where FilePath = "
      "(select FilePath from FSE_QueryState where MyIndex = ?)",
      {int64_t{myIndex}}};
}

Sql DeleteIfNoChildren(int32_t myIndex) {
  return {
      "delete from FSE_QueryState where MyIndex = ? and not exists "
      "(select 1 from FSE_QueryState where pIndex = ?)",
      {int64_t{myIndex}, int64_t{myIndex}}};
}

Sql PlaylistItemNamed(int32_t pIndex, std::string_view fileName) {
  return {
      "select * from FSE_QueryState where pIndex = ? and FileName = ? and Flags = ? "
      "and ObjectType = 1",
      {int64_t{pIndex}, std::string(fileName), int64_t{kFlagPlaylist}}};
}

}  // namespace sql

namespace sql {

// The containers of the subtree of the first value bound, the container itself included.
// "Not an item" is spelt as two ranges so that each step seeks, in FSE_ByParent, the
// containers on either side of a parent's items; "<> 1" cannot seek, and walked every
// item of "All Music" (a million index entries in a large library) on every Search.
constexpr std::string_view kSubtree =
    "with recursive Subtree(id) as (select ? union select o.MyIndex from FSE_QueryState o "
    "join Subtree s on o.pIndex = s.id where (o.ObjectType > 1 or o.ObjectType < 1)) ";

Sql SearchItems(int32_t containerId, const Sql& condition, bool wholeTable) {
  // Only containers have children, so the walk follows containers alone: the items of a
  // large library are then read once, by the search, rather than once more by the walk.
  // Every row carries the number of matches, so one run gives a page and the total.
  // The unary plus keeps an index from serving a column, so that the whole-table plan is
  // one pass over the table instead of a look-up per row; there the condition comes before
  // the subtree test, which then runs on the matching rows alone.
  const char* parent = wholeTable ? "+pIndex" : "pIndex";
  const char* path = wholeTable ? "+FilePath" : "FilePath";
  Sql query;
  query.text = std::string(kSubtree) +
               "select *, count(*) over () as MatchCount from FSE_QueryState where MyIndex in "
               "(select MyIndex from (select MyIndex, row_number() over (partition by " +
               path +
               " order by case when pIndex in (?, ?, ?) then 0 else 1 end, MyIndex) as "
               "RowOfFile from FSE_QueryState where ObjectType = 1 and (" +
               condition.text + ") and " + parent +
               " in (select id from Subtree)) where RowOfFile = 1)";
  query.values.push_back(int64_t{containerId});
  // A file found in several places is reported once, from its flat "All" list first.
  for (int32_t all : {kContainerAllVideos, kContainerAllMusic, kContainerAllImages})
    query.values.push_back(int64_t{all});
  query.values.insert(query.values.end(), condition.values.begin(), condition.values.end());
  return query;
}

Sql SubtreeRows(int32_t containerId) {
  return {std::string(kSubtree) +
              "select pIndex from FSE_QueryState where pIndex in (select id from Subtree)",
          {int64_t{containerId}}};
}

Sql AllRows() { return {"select rowid from FSE_QueryState", {}}; }

}  // namespace sql

namespace sql {

Sql ObjectsListed(std::string_view numbers) {
  return {
      "select * from FSE_QueryState where ObjectType = 1 and MyIndex in "
      "(select value from json_each(?))",
      {Text(numbers)}};
}

Sql ListedObjectsPresent(std::string_view numbers) {
  return {
      "select l.value from json_each(?) as l join FSE_QueryState as o on o.MyIndex = "
      "l.value and o.ObjectType = 1",
      {Text(numbers)}};
}

}  // namespace sql
