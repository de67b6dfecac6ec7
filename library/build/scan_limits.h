// Limits and batch sizes of the folder scanner, disc image reader and playlist import,
// in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scan_limits {

// A scan commits its inserts in transactions of at most this many directory entries or
// this much time, whichever comes first. Each commit lets the content directory browse
// (the transaction holds the library mutex), and a crash loses at most one batch.
inline constexpr int kBatchEntries = 256;
inline constexpr uint64_t kBatchMaxMs = 250;
// After each commit the scan pauses this long, so that a thread waiting for the library
// mutex (a browse) gets it before the next batch takes it again.
inline constexpr int kBatchPauseMs = 1;

// The library's page cache (KiB) while a scan runs. A scan walks folder by folder, so the
// pages it reads again are few and recent; the larger cache the library keeps for
// browsing would only fill with every page the scan wrote (and a scan of a large library
// runs faster with the small one). Browsing restores the library's own size.
inline constexpr int kScanPageCacheKiB = 1024;

// Disc images: directories deeper than this are not entered, and at most this many
// entries of one image are stored, so a forged image cannot make the walk endless.
inline constexpr int kDiscMaxDepth = 64;
inline constexpr size_t kDiscMaxEntries = 200000;
// The ISO 9660 logical block size; a member's data offset is its first block times it.
inline constexpr int64_t kDiscBlockSize = 2048;

// Playlists: larger files are read only up to this size, and at most this many entries
// are imported from one playlist.
inline constexpr size_t kPlaylistMaxBytes = 16 * 1024 * 1024;
inline constexpr size_t kPlaylistMaxEntries = 100000;

// Folder names that other systems show as compressed folders; such
// folders are never entered.
inline constexpr const char* kCompressedFolderSuffixes[] = {".zip", ".rar", ".cab"};

// Cover pictures of an audio item's folder, looked up in this order of patterns.
inline constexpr const char* kCoverExtensions[] = {".jpg", ".jpeg", ".bmp", ".png"};
// The CDCover value of an audio item whose folder holds no picture.
inline constexpr const char* kNoCover = " ";

// Video extensions whose files are queued for a seek index.
inline constexpr const char* kSeekIndexExtensions[] = {".vob", ".mpeg2", ".mpg", ".avi",
                                                       ".ts",  ".m2ts",  ".tp",  ".mpeg"};

// Extensions of the companion files of a video (subtitles, DVD information).
inline constexpr const char* kCompanionExtensions[] = {".srt", ".idx", ".sub", ".ssa", ".ifo"};

// Working directories that a rebuild of the whole library empties.
inline constexpr const char* kCacheDirectory = "cache";
inline constexpr const char* kThumbnailDirectory = "thumbnail";
// Extension of a playlist's list file in the cache directory.
inline constexpr const char* kListFileExtension = ".lst";

}  // namespace scan_limits
