#include "cds/file_system_enumerator.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>

#include "cds/cds_limits.h"
#include "cds/search_criteria.h"
#include "library/container_numbers.h"
#include "library/library.h"
#include "library/statements.h"
#include "media/media_type.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/path.h"

namespace {

constexpr char kSeparator = '/';

// A Search whose subtree holds at least this share of the library's rows (1 in N) reads
// the whole table: one pass costs about a fifth of what a look-up per row does.
constexpr int kWholeTableShare = 5;

// An answer reserves room for this many entries at most before its rows are read: a
// window may ask for everything.
constexpr int kEntriesReservedMax = 256;

// Both counts are remembered until the library changes, so repeated searches pay nothing.
bool SearchReadsWholeTable(int32_t containerId) {
  int all = db_getCount(sql::AllRows());
  return all > 0 && int64_t{db_getCount(sql::SubtreeRows(containerId))} * kWholeTableShare >= all;
}

// The parts of a record's name path "\<MyIndex>\<FileName>".
struct FsePathParts {
  std::string_view name;
  std::string_view baseName;
  std::string_view extension;
};

FsePathParts SplitNamePath(std::string_view namePath, bool container) {
  FsePathParts parts;
  size_t slash = namePath.find_last_of('\\');
  parts.name = slash == std::string_view::npos ? namePath : namePath.substr(slash + 1);
  parts.extension = platform::PathExtension(parts.name);
  parts.baseName = (container || parts.extension.empty())
                       ? parts.name
                       : parts.name.substr(0, parts.name.size() - parts.extension.size());
  return parts;
}

// "YYYY-MM-DD" of a proleptic Gregorian date into *out (civil-from-days), so that no
// time zone state or formatting machinery is touched per item.
void WriteDate(int64_t year, unsigned month, unsigned day, std::string* out) {
  char text[10] = {'0', '0', '0', '0', '-', '0', '0', '-', '0', '0'};
  int64_t y = year;
  for (int i = 3; i >= 0 && y > 0; --i, y /= 10) text[i] = static_cast<char>('0' + y % 10);
  text[5] = static_cast<char>('0' + month / 10);
  text[6] = static_cast<char>('0' + month % 10);
  text[8] = static_cast<char>('0' + day / 10);
  text[9] = static_cast<char>('0' + day % 10);
  out->assign(text, sizeof text);
}

// Dates outside years 0 to 9999 (never a real file's) keep the C library's form.
void SetUnusualDate(int64_t seconds, std::string* out) {
  time_t t = static_cast<time_t>(seconds);
  struct tm utc {};
  if (gmtime_r(&t, &utc) == nullptr) return;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  out->assign(text);
}

// The file's creation day in UTC; left empty when the file cannot be asked.
void SetCreationDate(const std::string& path, std::string* out) {
  std::optional<int64_t> birth = platform::FileBirthTime(path);
  if (!birth) return;
  int64_t days = *birth / 86400 - (*birth % 86400 < 0 ? 1 : 0);
  // Days since 1970-01-01 to a civil date (era-based; exact for every int64 day count
  // that matters here).
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  if (year < 0 || year > 9999) return SetUnusualDate(*birth, out);
  WriteDate(year, month, day, out);
}

// Music tracks carry their artist and track number, and their date is the tag year
// (written as a whole date, which clients that read the file date expect).
void FillMusicTrack(const MediaRecord& record, CdsMediaObject* object) {
  object->mediaClass = kClassMusicTrack;
  if (!record.Author.empty()) object->artist = record.Author;
  if (record.TrackNo > 0) object->originalTrackNumber = record.TrackNo;
  if (record.Year > 0 && record.Year <= 9999) WriteDate(record.Year, 1, 1, &object->date);
}

// Fills an object from a record. `listed` applies the rule that items of the internet
// media containers are plain items in a listing.
void FillObject(const MediaRecord& record, std::string parentId, bool listed,
                CdsMediaObject* object) {
  bool container = record.ObjectType != kObjectItem;
  FsePathParts parts = SplitNamePath(record.VirtualName, container);
  object->id = std::to_string(record.MyIndex);
  object->parentID = std::move(parentId);
  if (parts.baseName.empty()) {
    object->title = record.FileName;
  } else {
    object->title.assign(parts.baseName);
  }
  if (!record.Album.empty()) object->album = record.Album;
  if (!record.Author.empty()) object->creator = record.Author;
  if (!record.Genre.empty()) object->genre = record.Genre;
  if (record.ObjectType == kObjectItem) {
    bool internetList = listed && (record.pIndex == kContainerInternetVideos ||
                                   record.pIndex == kContainerInternetAllVideos);
    object->mediaClass = internetList ? kClassItem : MediaType_ClassForExtension(parts.extension);
    object->flags = kCdsObjectRestricted;
    if (object->mediaClass == kClassAudioItem && FSE_HasMusicTags(record))
      FillMusicTrack(record, object);
    // A track's tag year stands for its date: the file is asked only when there is none.
    if (object->date.empty()) SetCreationDate(record.FilePath, &object->date);
  } else {
    object->mediaClass =
        record.ObjectType == kObjectContainer ? kClassStorageFolder : kClassContainer;
    object->flags = kCdsObjectSearchable;
  }
}

int ClampToInt(uint64_t value) { return value > INT_MAX ? INT_MAX : static_cast<int>(value); }

bool IsContainerClass(MediaClass mediaClass) { return ((mediaClass >> 14) & 0x3) == 1; }

// The number of children a Browse of the container returns: one indexed count for a
// folder, one query over the list for a playlist.
void FillChildCount(const FseRequest& request, const MediaRecord& record, CdsMediaObject* object) {
  if (!request.wantChildCount || !IsContainerClass(object->mediaClass)) return;
  int count = 0;
  if (record.ObjectType == kObjectContainer) {
    count = db_getCount(sql::Children(record.MyIndex));
  } else if (PlaylistContainer_Is(record)) {
    count = PlaylistContainer_Count(record);
  }
  object->childCount = count;
}

// A playlist entry is an item of the playlist that refers to the object it plays and
// carries that object's metadata (and, through its record, its resources), so a client
// that ignores refID plays it as well.
FseEntry MakePlaylistEntry(const PlaylistEntry& entry, int32_t playlist) {
  FseEntry out;
  out.record = entry.record;
  FillObject(entry.record, std::to_string(playlist), false, &out.object);
  out.object.id = PlaylistContainer_EntryId(playlist, entry.line);
  out.object.refID = std::to_string(entry.record.MyIndex);
  return out;
}

// Reads up to `wanted` rows of `query` from row `first` straight into new entries at the
// end of *out and makes their objects: the children of `parent`, or search matches.
int AppendPage(const FseRequest& request, const Sql& query, int first, int wanted, int* total,
               bool search, int32_t parent, FseLocated* located, std::vector<FseEntry>* out) {
  size_t begin = out->size();
  out->reserve(begin + static_cast<size_t>(std::clamp(wanted, 0, kEntriesReservedMax)));
  int read = db_browsePage(
      query, [out] { return &out->emplace_back().record; }, first, wanted, total);
  // The objects are made once the read is over: a container's child count asks the
  // library, which the read holds.
  std::string parentId = std::to_string(parent);
  for (size_t i = begin; i < out->size(); ++i) {
    FseEntry& entry = (*out)[i];
    // A match of a search may lie anywhere below the container: it names its own parent.
    FillObject(entry.record, search ? std::to_string(entry.record.pIndex) : parentId, true,
               &entry.object);
    FillChildCount(request, entry.record, &entry.object);
    ++located->record.ProcessIndex;
  }
  return read;
}

// The playlist entry an ObjectID names: only its metadata can be browsed.
std::unique_ptr<FseLocated> LocatePlaylistEntry(const FseRequest& request, int32_t playlist,
                                                int32_t line, int* error) {
  auto located = std::make_unique<FseLocated>();
  MediaRecord& record = located->record;
  if (db_getOneRecord(sql::ObjectByIndex(playlist), &record) <= 0 ||
      !PlaylistContainer_Is(record) || !PlaylistContainer_EntryAt(record, line, &located->entry)) {
    return nullptr;
  }
  if (request.kind != kFseBrowseMetadata) {
    *error = kCdsErrorNoSuchContainer;
    return nullptr;
  }
  record.ProcessIndex = 0;
  record.ProcessObjectType = kObjectItem;
  *error = kCdsErrorNone;
  return located;
}

}  // namespace

const char* const kFseMusicTagsCondition =
    "(Author <> '' or Album <> '' or Genre <> '' or TrackNo > 0 or Year > 0)";

bool FSE_HasMusicTags(const MediaRecord& record) {
  return !record.Author.empty() || !record.Album.empty() || !record.Genre.empty() ||
         record.TrackNo > 0 || record.Year > 0;
}

int32_t FSE_ObjectNumber(std::string_view objectId) {
  size_t i = 0;
  while (i < objectId.size() &&
         (objectId[i] == ' ' || (objectId[i] >= '\t' && objectId[i] <= '\r')))
    ++i;
  bool negative = false;
  if (i < objectId.size() && (objectId[i] == '+' || objectId[i] == '-'))
    negative = objectId[i++] == '-';
  int64_t value = 0;
  while (i < objectId.size() && objectId[i] >= '0' && objectId[i] <= '9') {
    value = value * 10 + (objectId[i++] - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;  // clamp, no overflow
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<int32_t>(value);
}

std::unique_ptr<FileSystemEnumerator> FSE_Create(std::string_view baseDirectory) {
  auto fse = std::make_unique<FileSystemEnumerator>();
  fse->baseDirectory = std::string(baseDirectory);
  for (char& c : fse->baseDirectory) {
    if (c == '\\') c = kSeparator;
  }
  if (fse->baseDirectory.empty() || fse->baseDirectory.back() != kSeparator)
    fse->baseDirectory += kSeparator;
  return fse;
}

std::unique_ptr<FseLocated> FSE_LocateObject(FileSystemEnumerator* /*fse*/,
                                             const FseRequest& request, int* error) {
  *error = kCdsErrorNoSuchObject;
  if (request.objectId.empty()) return nullptr;
  int32_t playlist = 0;
  int32_t line = 0;
  if (PlaylistContainer_ParseEntryId(request.objectId, &playlist, &line))
    return LocatePlaylistEntry(request, playlist, line, error);
  auto located = std::make_unique<FseLocated>();
  // The ObjectID travels bound: text that spells no number simply finds no row.
  if (db_getOneRecord(sql::ObjectByIdText(request.objectId), &located->record) <= 0) return nullptr;
  MediaRecord& record = located->record;
  switch (record.ObjectType) {
    case kObjectItem:
      if (request.kind == kFseBrowseDirectChildren && PlaylistContainer_Is(record)) {
        located->playlist = true;
        located->entries = PlaylistContainer_Entries(record);
      } else if (request.kind != kFseBrowseMetadata) {
        *error = kCdsErrorNoSuchContainer;
        return nullptr;
      }
      break;
    case kObjectContainer:
      break;
    case 0:
      return nullptr;
    default:
      *error = kCdsErrorActionFailed;
      return nullptr;
  }
  record.ProcessIndex = 0;
  record.ProcessObjectType = record.ObjectType;
  if (request.kind == kFseSearch) {
    Sql condition;
    std::string reason;
    if (!Search_CompileCriteria(request.searchCriteria, &condition, &reason)) {
      platform::Logf("Search: invalid SearchCriteria (%s)\n", reason.c_str());
      *error = kCdsErrorBadSearchCriteria;
      return nullptr;
    }
    located->searchQuery =
        sql::SearchItems(record.MyIndex, condition, SearchReadsWholeTable(record.MyIndex));
  }
  *error = kCdsErrorNone;
  return located;
}

uint32_t FSE_CountChildren(FileSystemEnumerator* /*fse*/, const FseRequest& request,
                           const FseLocated& located) {
  int count = 0;
  if (request.kind == kFseBrowseDirectChildren && located.playlist) {
    count = static_cast<int>(located.entries.size());
  } else if (request.kind == kFseBrowseDirectChildren) {
    count = db_getCount(sql::Children(FSE_ObjectNumber(request.objectId)));
  } else if (request.kind == kFseSearch) {
    count = db_getCount(located.searchQuery);
  }
  return count > 0 ? static_cast<uint32_t>(count) : 0;
}

int FSE_GetChildren(FileSystemEnumerator* /*fse*/, const FseRequest& request, FseLocated* located,
                    int n, std::vector<FseEntry>* out) {
  if (n <= 0 || (request.kind != kFseBrowseDirectChildren && request.kind != kFseSearch)) return 0;
  bool search = request.kind == kFseSearch;
  int32_t parent = FSE_ObjectNumber(request.objectId);
  if (located->playlist) {
    int read = 0;
    for (size_t i = request.position; i < located->entries.size() && read < n; ++i, ++read) {
      out->push_back(MakePlaylistEntry(located->entries[i], located->record.MyIndex));
      ++located->record.ProcessIndex;
    }
    return read;
  }
  return AppendPage(request, search ? located->searchQuery : sql::Children(parent),
                    ClampToInt(request.position), n, nullptr, search, parent, located, out);
}

int FSE_GetMetadata(FileSystemEnumerator* /*fse*/, const FseRequest& request, FseLocated* located,
                    FseEntry* out) {
  if (located->entry.line > 0 || (located->playlist && request.kind == kFseBrowseDirectChildren)) {
    const PlaylistEntry* entry = &located->entry;
    if (located->entry.line == 0) {
      if (request.position >= located->entries.size()) return 0;
      entry = &located->entries[request.position];
    }
    *out = MakePlaylistEntry(*entry, located->record.MyIndex);
    ++located->record.ProcessIndex;
    return 1;
  }
  MediaRecord record;
  if (request.kind == kFseBrowseMetadata) {
    if (db_getOneRecord(sql::ObjectByIndex(FSE_ObjectNumber(request.objectId)), &record) <= 0)
      return 0;
  } else if (request.kind == kFseBrowseDirectChildren) {
    if (!db_getRecordAt(sql::Children(FSE_ObjectNumber(request.objectId)), &record,
                        ClampToInt(request.position))) {
      return 0;
    }
  } else {
    return 0;  // a search answers through FSE_GetChildren
  }
  std::string parentId = request.objectId == "0" ? "-1" : std::to_string(record.pIndex);
  out->object = CdsMediaObject();
  FillObject(record, std::move(parentId), false, &out->object);
  FillChildCount(request, record, &out->object);
  out->record = std::move(record);
  ++located->record.ProcessIndex;
  return 1;
}

int32_t FSE_ReleaseObject(std::unique_ptr<FseLocated> located) {
  return located ? located->record.ProcessUpdateID : 0;
}

FseAnswer FSE_Answer(FileSystemEnumerator* fse, const FseRequest& request) {
  FseAnswer answer;
  // The counter is read before the rows: a change committed meanwhile makes the answer
  // newer than its UpdateID, never older, so a control point that caches it may ask
  // again but never keeps a stale answer.
  uint32_t updateId = db_systemUpdateId();
  std::unique_ptr<FseLocated> located = FSE_LocateObject(fse, request, &answer.error);
  if (!located) return answer;
  located->record.ProcessUpdateID = static_cast<int32_t>(updateId);
  if (request.kind == kFseSearch) {
    // One run of the search gives the page and the number of matches; the count is asked
    // for separately only when the page is empty (a window past the end).
    int total = -1;
    int wanted = request.requestedCount == 0 ? INT_MAX : ClampToInt(request.requestedCount);
    AppendPage(request, located->searchQuery, ClampToInt(request.startingIndex), wanted, &total,
               true, 0, located.get(), &answer.entries);
    answer.totalMatches =
        total >= 0 ? static_cast<uint32_t>(total) : FSE_CountChildren(fse, request, *located);
    answer.updateId = static_cast<uint32_t>(FSE_ReleaseObject(std::move(located)));
    return answer;
  }
  answer.totalMatches = FSE_CountChildren(fse, request, *located);
  if (request.kind == kFseBrowseMetadata) {
    FseEntry entry;
    if (FSE_GetMetadata(fse, request, located.get(), &entry))
      answer.entries.push_back(std::move(entry));
  } else {
    // RequestedCount 0 asks for everything from StartingIndex on.
    uint32_t n = answer.totalMatches;
    if (request.requestedCount != 0 && request.requestedCount <= answer.totalMatches)
      n = request.requestedCount;
    FseRequest window = request;
    window.position = request.startingIndex;
    if (n > 0) FSE_GetChildren(fse, window, located.get(), ClampToInt(n), &answer.entries);
  }
  answer.updateId = static_cast<uint32_t>(FSE_ReleaseObject(std::move(located)));
  return answer;
}

const char* FSE_ErrorText(int error) {
  switch (error) {
    case kCdsErrorNone:
      return "";
    case kCdsErrorNoSuchObject:
      return "ObjectID does not exist.";
    case kCdsErrorNoSuchContainer:
      return "The specified ObjectID or ContainerID identifies an object that is not a container.";
    case kCdsErrorBadSearchCriteria:
      return "Unsupported or invalid search criteria";
    default:
      return "Action failed. Internal error encountered.";
  }
}
