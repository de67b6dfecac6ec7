// Feeds arbitrary bytes to the playlist parser as each kind of playlist, and resolves
// every entry it finds against a folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "library/build/playlist_import.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string content(reinterpret_cast<const char*>(data), size);
  for (int kind : {kPlaylistM3u, kPlaylistPls, kPlaylistAsx, kPlaylistWpl}) {
    for (const std::string& entry : Playlist_ParseEntries(content, kind)) {
      Playlist_ResolveEntry(entry, "/music/lists");
    }
  }
  return 0;
}
