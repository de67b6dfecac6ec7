// The enumerator answers what the content directory asks about an object: does it exist
// and may it be used this way, its metadata, how many children or search matches it has,
// and which of them lie in a window. Every answer comes from the library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cds/cds_object.h"
#include "cds/playlist_container.h"
#include "library/media_record.h"
#include "library/sql.h"

inline constexpr int kFseBrowseMetadata = 0;
inline constexpr int kFseBrowseDirectChildren = 1;
inline constexpr int kFseSearch = 2;

// What the enumerator needs of a queued Browse or Search.
struct FseRequest {
  int kind = kFseBrowseMetadata;
  std::string objectId;  // Browse ObjectID or Search ContainerID
  std::string searchCriteria;
  uint32_t startingIndex = 0;
  uint32_t requestedCount = 0;
  uint32_t position = 0;  // the current position in the window; starts at startingIndex
  // Whether containers are given their number of children (a count each; the Filter
  // decides whether the answer shows it).
  bool wantChildCount = true;
};

// A located object: its library record, and for a Search the compiled query. A playlist
// listed as a container carries its entries; a playlist entry addressed by its own ID
// has the playlist as its record and the entry beside it.
struct FseLocated {
  MediaRecord record;
  Sql searchQuery;
  bool playlist = false;
  std::vector<PlaylistEntry> entries;
  PlaylistEntry entry;  // line 0 when the object is no playlist entry
};

// One object of an answer with the library record it was made from (the resource
// callbacks read the record).
struct FseEntry {
  MediaRecord record;
  CdsMediaObject object;
};

struct FileSystemEnumerator {
  std::string baseDirectory;  // always ends with a separator
};

std::unique_ptr<FileSystemEnumerator> FSE_Create(std::string_view baseDirectory);

// The object of the request, or nothing with *error 701 (no such object), 710 (an item
// used as a container; a playlist is a container for BrowseDirectChildren), 708 (invalid
// SearchCriteria) or 501 (a record of another kind).
std::unique_ptr<FseLocated> FSE_LocateObject(FileSystemEnumerator* fse, const FseRequest& request,
                                             int* error);
// TotalMatches: the number of children (kind 1) or of search matches (kind 2); 0 for a
// Browse of metadata.
uint32_t FSE_CountChildren(FileSystemEnumerator* fse, const FseRequest& request,
                           const FseLocated& located);
// Appends up to `n` children or matches from request.position on, in the library's
// order (containers first, then by album and file name). Returns the number appended.
int FSE_GetChildren(FileSystemEnumerator* fse, const FseRequest& request, FseLocated* located,
                    int n, std::vector<FseEntry>* out);
// Fills *out with the metadata of the requested object (kind 0) or of the child at the
// request's position (kind 1). 1 when filled, else 0.
int FSE_GetMetadata(FileSystemEnumerator* fse, const FseRequest& request, FseLocated* located,
                    FseEntry* out);
// Frees the located object and returns its UpdateID (the library's SystemUpdateID,
// which FSE_Answer reads before the rows).
int32_t FSE_ReleaseObject(std::unique_ptr<FseLocated> located);

// The whole answer of one request, as the content directory logic sends it.
struct FseAnswer {
  int error = 0;
  std::vector<FseEntry> entries;
  uint32_t totalMatches = 0;
  uint32_t updateId = 0;
};
FseAnswer FSE_Answer(FileSystemEnumerator* fse, const FseRequest& request);

// The fault text of an enumerator error code.
const char* FSE_ErrorText(int error);

// A song whose tags name an artist, album or genre or give a track number or year is
// listed as a music track; a song without such tags keeps the plain audio class. The
// condition is the same rule over the object table's columns, for Search.
bool FSE_HasMusicTags(const MediaRecord& record);
extern const char* const kFseMusicTagsCondition;

// The number an ObjectID spells (leading blanks, a sign and digits, like atoi; text
// without digits gives 0, values beyond 32 bits are clamped).
int32_t FSE_ObjectNumber(std::string_view objectId);
