// Playlist import: a playlist file found in a shared folder becomes a list file in
// cache/, one line "<MyIndex>/<file name>\r\n" per audio entry, naming the library object
// that plays the entry. Entries not in "All Music" are stored as entry items (Flags 32)
// below the playlist item.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Kinds of playlists by extension; 0 for anything else.
inline constexpr int kPlaylistM3u = 1;
inline constexpr int kPlaylistPls = 2;
inline constexpr int kPlaylistAsx = 3;
inline constexpr int kPlaylistWpl = 4;
int Playlist_Kind(const std::string& path);

// The entry texts of a playlist's content, in order, as written in the file (before
// they are resolved against the playlist's folder). 8-bit text is kept when it is valid
// UTF-8, else decoded from the text code page; a UTF-16 file with a byte-order mark is
// decoded from UTF-16.
std::vector<std::string> Playlist_ParseEntries(const std::string& content, int kind);

// Resolves one entry against the playlist's folder: a relative entry is joined to it and
// "." and ".." parts are removed; "file://" URLs are decoded. Empty when the entry
// cannot name a local file.
std::string Playlist_ResolveEntry(const std::string& entry, const std::string& playlistFolder);

// Imports the playlist at `playlistPath` into the list file `listPath` (created anew),
// storing missing audio entries under the playlist item `playlistItem`. A playlist that
// cannot be read leaves no list file.
void Playlist_Import(const std::string& playlistPath, const std::string& listPath,
                     int32_t playlistItem);
