// The catalogue of statements the program sends to the library. Every caller builds its
// statements here, so the texts stay fixed and every value is bound.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "library/sql.h"

// A row to insert into the object table. Columns left at their defaults are written as
// 0 or empty text, which reads back exactly like a column the insert did not name.
struct ObjectRow {
  bool withIndex = true;  // false only for the root, which receives MyIndex 0
  int32_t MyIndex = 0;
  int32_t pIndex = 0;
  int32_t Flags = 0;
  int32_t ObjectType = 0;
  int32_t ProcessObjectType = 0;
  std::string FilePath;
  std::string FileName;
  std::string Album;
  std::string Title;
  std::string Author;
  std::string Genre;
  int32_t TrackNo = 0;
  int32_t Year = 0;
  std::string Subtitle;
  int32_t Duration = 0;
  int32_t Bitrate = 0;
  int64_t FileSize = 0;
  std::string FileType;
  int32_t InternetFlags = 0;
  std::string CDCover;
  int32_t Favorite = 0;
};

namespace sql {

// ---- Reading objects ----
Sql AllObjects();
Sql ObjectByIndex(int32_t myIndex);
// The object ID text of a request, compared with MyIndex as the number it spells.
Sql ObjectByIdText(std::string_view objectId);
Sql Children(int32_t pIndex);
Sql ByPath(std::string_view path);
Sql FolderUnder(std::string_view path, int32_t pIndex);
Sql ItemUnder(std::string_view path, std::string_view fileName, int32_t pIndex);
Sql DiscObjectsOfType(int32_t objectType);
Sql DiscObjectNamed(int32_t pIndex, std::string_view fileName);
Sql InternetItem(std::string_view path, std::string_view fileName, int32_t internetFlags);
Sql InternetVideoItems();
Sql InternetAudioItems();

// ---- Item counts of start-up ----
Sql CountSharedItems();
Sql CountVideoItems();
Sql CountAudioItems();
Sql CountImageItems();
Sql CountFlags17Items();
// The files below a folder (its subfolders included) that the library holds items of,
// each once however many containers list it.
Sql FilesUnder(std::string_view folder);

// ---- Writing objects ----
Sql InsertObject(const ObjectRow& row);
Sql UpdateTags(std::string_view path, std::string_view title, std::string_view author,
               std::string_view album, std::string_view genre);
// The subtitle of every row of a video file.
Sql UpdateSubtitle(std::string_view path, std::string_view subtitle);
// Up to `limit` items of a local audio, video or picture file whose album art has not
// been looked for, the first ones numbered above `after`.
Sql AlbumArtPending(int32_t after, int32_t limit);
// Records the album art of the item, unless the row has been replaced since it was read
// (a rescan hands out the same numbers again).
Sql UpdateAlbumArt(int32_t myIndex, std::string_view filePath, std::string_view albumArt);
Sql DeleteByIndex(int32_t myIndex);
Sql DeleteChildren(int32_t pIndex);
Sql DeleteByPath(std::string_view path);
Sql DeleteInternetItem(std::string_view path, std::string_view fileName, int32_t internetFlags);
Sql DeleteAllObjects();

// ---- Shared folders ----
Sql AllSharedFolders();
Sql SharedFolder(std::string_view dirPath);
Sql InsertSharedFolder(std::string_view dirPath, int32_t flags = 0);
// The work still to do on a shared folder (kSharedFolder* of media_record.h).
Sql SetSharedFolderFlags(std::string_view dirPath, int32_t flags);
Sql SetAllSharedFolderFlags(int32_t flags);
Sql DeleteSharedFolder(std::string_view dirPath);
Sql DeleteAllSharedFolders();

// ---- Settings ----
Sql GetSetting(std::string_view key);
Sql SetSetting(std::string_view key, std::string_view value);

}  // namespace sql

namespace sql {

// ---- Forms of the folder scanner ----
// Every row whose FilePath equals that of object `myIndex` (the object included). Paths
// travel inside the statement, so a path longer than a record's field is still matched
// whole.
Sql RowsOfSamePath(int32_t myIndex);
Sql DeleteRowsOfSamePath(int32_t myIndex);
// Deletes object `myIndex` only when no row has it as parent.
Sql DeleteIfNoChildren(int32_t myIndex);
// The playlist item (Flags 16) of this file name under a folder container.
Sql PlaylistItemNamed(int32_t pIndex, std::string_view fileName);

}  // namespace sql

namespace sql {

// ---- Search of the content directory ----
// The items below container `containerId` (its whole subtree) that satisfy `condition`
// (a condition over one object row, its values bound), each file once: of several rows
// of one FilePath the one under 4, 7 or 13 is preferred, else the lowest number. Items
// have no children, so the walk of the subtree passes through containers only. Each row
// carries the number of matches in the column kMatchCountColumn (library.h).
// `wholeTable` reads the table from end to end instead of each container's rows through
// the parent index: a look-up per row makes the index the slower way once the subtree
// holds a good part of the library. The answer is the same either way.
Sql SearchItems(int32_t containerId, const Sql& condition, bool wholeTable = false);

// The rows directly below the containers of the subtree of `containerId` (the container
// itself included), read from the parent index alone: counted, it tells how much of the
// library a Search there reads.
Sql SubtreeRows(int32_t containerId);

// Every row of the library, for counting.
Sql AllRows();

}  // namespace sql

namespace sql {

// ---- Playlists of the content directory ----
// `numbers` is a JSON array of object numbers (the entries of a playlist), bound as one
// value. The items it names, each once.
Sql ObjectsListed(std::string_view numbers);
// One row per element that names an item, so an entry listed twice counts twice.
Sql ListedObjectsPresent(std::string_view numbers);

}  // namespace sql
