// A playlist file of a shared folder is stored as an item whose file is the list that the
// import wrote: one "<MyIndex>/<name>" line per entry. The content directory presents such
// an item as a container whose children are its entries in the playlist's order, each an
// item that refers to the library object it plays.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "library/media_record.h"

struct PlaylistEntry {
  int32_t line = 0;    // 1-based line of the list file
  MediaRecord record;  // the object the line names
};

// True for a playlist item whose type is a playlist container.
bool PlaylistContainer_Is(const MediaRecord& record);
// The entries whose objects are in the library, in list order.
std::vector<PlaylistEntry> PlaylistContainer_Entries(const MediaRecord& playlist);
// Their number, in one library query.
int PlaylistContainer_Count(const MediaRecord& playlist);
// The entry of one line; false when the line names no object.
bool PlaylistContainer_EntryAt(const MediaRecord& playlist, int32_t line, PlaylistEntry* entry);

// An entry's object ID, "<playlist>_<line>": an item may appear in several playlists,
// and several times in one, so the entry needs an ID of its own.
std::string PlaylistContainer_EntryId(int32_t playlist, int32_t line);
bool PlaylistContainer_ParseEntryId(std::string_view id, int32_t* playlist, int32_t* line);
