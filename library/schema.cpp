#include "library/schema.h"

const std::vector<std::string_view> kDefaultVideoExtensions = {
    ".dat", ".avi", ".mp4", ".mpa", ".mpeg2", ".mpg", ".wmv", ".mkv", ".vob", ".ts", ".m2ts",
    ".tp",  ".div", ".divx", ".m2t", ".mts",  ".mov", ".srt", ".idx", ".sub", ".ssa", ".ifo"};
const std::vector<std::string_view> kDefaultAudioExtensions = {
    ".mp3", ".wav", ".aac", ".wma", ".pcm", ".lpcm", ".ogg", ".m4a", ".flac", ".mp4a", ".ac3", ".mka"};
const std::vector<std::string_view> kDefaultImageExtensions = {
    ".gif", ".bmp", ".png", ".jpg", ".jpeg", ".tif", ".tiff", ".jp2", ".j2k", ".jpc"};
const std::vector<std::string_view> kDefaultPlaylistExtensions = {".m3u", ".pls", ".asx"};

std::string JoinExtensions(const std::vector<std::string_view>& list) {
  std::string joined;
  for (std::string_view ext : list) {
    if (!joined.empty()) joined.push_back(' ');
    joined.append(ext);
  }
  return joined;
}

// FSE_QueryState is the object table, named after the file system enumerator (FSE) of the
// content directory that reads it. Integer columns default to 0 and text columns to
// empty text, so a column that an insert does not name reads back as every reader
// expects of an empty or null value. MyIndex is unique but not the rowid: the rowid
// keeps the order in which rows were stored, which internet containers show.
// AlbumSortKey and FileNameSortKey hold the sort keys of Album and FileName
// (NoCaseSortKey), written with every row by the program. Year is the year of an item's
// tags, 0 when they give none. Subtitle is the file name of the subtitle beside a video,
// empty when it has none.
const char* const kLibrarySchema = R"sql(
create table FSE_QueryState (
  MyIndex integer not null default 0 unique,
  pIndex integer not null default 0,
  Flags integer not null default 0,
  ObjectType integer not null default 0,
  ProcessObjectType integer not null default 0,
  FilePathLen integer not null default 0,
  FilePath text not null default '',
  FileNameLen integer not null default 0,
  FileName text not null default '',
  isSearchable integer not null default 0,
  ProcessIndex integer not null default 0,
  ProcessUpdateID integer not null default 0,
  Album text not null default '',
  Title text not null default '',
  Author text not null default '',
  Genre text not null default '',
  TrackNo integer not null default 0,
  Duration integer not null default 0,
  Bitrate integer not null default 0,
  FileSize integer not null default 0,
  FileType text not null default '',
  InternetFlags integer not null default 0,
  CDCover text not null default '',
  Favorite integer not null default 0,
  AlbumSortKey text not null default '',
  FileNameSortKey text not null default '',
  Year integer not null default 0,
  Subtitle text not null default ''
);
create table Shared_Folder (
  DirPath text not null default '',
  Flags integer not null default 0,
  VolumeName text not null default ''
);
create table AVP (
  my_attribute text not null primary key,
  my_value text not null default ''
);
insert into AVP (my_attribute, my_value) values
  ('ServerName', ''),
  ('RunFirstTime', 'TRUE'),
  ('EnableAutoRun', 'FALSE'),
  ('MinimizedAtStartUp', 'FALSE'),
  ('TranscodingEnable', 'FALSE'),
  ('PreCacheEnable', 'FALSE'),
  ('TransVideoQuality', '0'),
  ('VideoFilter', ''),
  ('AudioFilter', ''),
  ('ImageFilter', ''),
  ('PlaylistFilter', ''),
  ('Language', ''),
  ('UDN', ''),
  ('SerialNumber', ''),
  ('SystemUpdateID', '0');
)sql";

// The children of a container are read in the browse order straight from the first
// index; paths are looked up alone and together with the parent through the second. The
// sort order is that of stored keys under the built-in byte order rather than of a
// collation of the program's own: any SQLite tool can then check, dump and repair the
// file, and a change of the case tables can never make an index disagree with itself.
const char* const kLibraryIndexes = R"sql(
create index if not exists FSE_ByParent on FSE_QueryState
  (pIndex, ObjectType desc, AlbumSortKey, FileNameSortKey);
create index if not exists FSE_ByPath on FSE_QueryState (FilePath, pIndex);
create index if not exists Shared_ByPath on Shared_Folder (DirPath);
)sql";

const char* const kAddSortKeyColumns = R"sql(
alter table FSE_QueryState add column AlbumSortKey text not null default '';
alter table FSE_QueryState add column FileNameSortKey text not null default '';
)sql";

const char* const kAddYearColumn = R"sql(
alter table FSE_QueryState add column Year integer not null default 0;
)sql";

const char* const kAddSubtitleColumn = R"sql(
alter table FSE_QueryState add column Subtitle text not null default '';
)sql";

const char* const kFillSortKeys = R"sql(
update FSE_QueryState set
  AlbumSortKey = orvex_sort_key(Album), FileNameSortKey = orvex_sort_key(FileName);
)sql";

const char* const kProgramCollation = "ORVEX_NOCASE";

const char* const kChangeTriggers = R"sql(
create temp trigger if not exists orvex_object_inserted after insert on main.FSE_QueryState
  begin select orvex_note_change(new.pIndex); end;
create temp trigger if not exists orvex_object_deleted after delete on main.FSE_QueryState
  begin select orvex_note_change(old.pIndex); end;
create temp trigger if not exists orvex_object_updated after update on main.FSE_QueryState
  begin select orvex_note_change(old.pIndex); select orvex_note_change(new.pIndex); end;
)sql";

const char* const kAddMissingSettingsRows = R"sql(
insert or ignore into AVP (my_attribute, my_value) values
  ('UDN', ''), ('SerialNumber', ''), ('SystemUpdateID', '0');
)sql";

const char* const kCountAddedSettingsRows =
    "select count(*) from AVP where my_attribute in ('UDN', 'SerialNumber', 'SystemUpdateID')";
