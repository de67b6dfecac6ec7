// The folder scanner: turns the shared folders into library objects. Every media file is
// stored in the flat list of its kind ("All Videos", "All Music", "All Images"), in the
// folder container that mirrors its directory, and, for audio, under its artist, genre
// and album groups. The same building blocks serve the directory watcher (single files
// and folders) and the window (adding, refreshing, removing and clearing).
//
// Locks: a scan holds ScanFilesMutex for its whole run; every library step takes the
// library mutex, and a scan's inserts are committed in batches (LibraryTransaction) so
// that the content directory can browse between batches. Order: ScanFilesMutex before
// the library mutex, never the other way round.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// Media kinds (the result of Scan_ClassifyFile), a bit set.
inline constexpr int kKindNone = 0;
inline constexpr int kKindVideo = 1;
inline constexpr int kKindAudio = 2;
inline constexpr int kKindImage = 4;
inline constexpr int kKindPlaylist = 8;
// Added to kKindVideo for a video's companion file (subtitles, DVD information).
inline constexpr int kKindCompanionBit = 16;
inline constexpr int kKindCompanion = kKindVideo | kKindCompanionBit;
// An audio file named by an imported playlist that is not in "All Music".
inline constexpr int kKindPlaylistEntry = 32;
inline constexpr int kKindDiscImage = 64;

// ---- Process-wide scanner state ----

// Held by every scan thread and every folder removal for its whole run; start-up and
// shutdown take it to wait for a running scan.
extern std::mutex ScanFilesMutex;
// Set to stop a running walk after the entry being processed; cleared by each scan
// thread when it starts. What was stored stays.
extern std::atomic<bool> g_scanAbort;
// False while a scan thread runs.
extern std::atomic<bool> g_scanIdle;
// Set when a scan is started, cleared by the scan thread at its end.
extern std::atomic<bool> g_scanRunning;

// The text the progress display shows as the item being processed: the disc image being
// read. Safe from any thread.
class CScanCurrentPath {
 public:
  void Set(const std::string& path);
  void Clear();
  std::string Get() const;

 private:
  mutable std::mutex mutex_;
  std::string path_;
};
extern CScanCurrentPath g_scanCurrentPath;

// Counters of files. The library totals survive between scans (lowered when objects are
// deleted, zeroed by a clear); the counts of the current scan start at zero with each
// scan. A file counts once, when its "All" object is inserted; a file already in its
// "All" list counts as a duplicate. `unsupported` is kept for the current scan only.
struct CScanCounts {
  int files = 0;
  int video = 0;
  int audio = 0;
  int image = 0;
  int playlists = 0;
  int duplicates = 0;
  int unsupported = 0;
};
CScanCounts Scan_LibraryTotals();
void Scan_SetLibraryTotals(const CScanCounts& totals);
// Sets the totals from the item counts of the library (start-up).
void Scan_LoadLibraryTotals();
CScanCounts Scan_CurrentCounts();
void Scan_ResetCurrentCounts();

// Called by a clear and a rebuild of the library to have the internet feeds fetched
// again (the feed updater installs it). Nothing is called when none is set.
void Scan_SetFeedRefresh(std::function<void()> refresh);

// ---- Classification ----

// The kind of a file by its name's extension (see kKind*); 0 for anything else.
int Scan_ClassifyFile(const std::string& fileName);
// 1 when the extension of `fileName` is in one of the filter tables selected by
// `kindMask` (1 video, 2 audio, 4 image, 8 playlist), else 0.
int Scan_ExtensionIn(const std::string& fileName, int kindMask);

// ---- Walking ----

// Scans one shared folder: creates (or finds) its three folder containers under "My
// Folder" (12), "My Folders" (6) and "My Folders" (15), walks it, and deletes the
// containers of kinds it does not hold. A folder that no longer exists is removed from
// the shared folders and from the library.
void Scan_SharedFolder(const std::string& folder);
// Walks `folder` storing its files under the audio, video and image containers; with
// `descend`, mirrors its subfolders and deletes their containers of kinds they do not
// hold. Returns the kinds stored in the tree.
int Scan_Directory(const std::string& folder, int32_t audioParent, int32_t videoParent,
                   int32_t imageParent, bool descend);

// ---- Incremental forms for the directory watcher ----

// A file that appeared: stored under its kind's containers unless it is there already.
void Scan_AddPath(const std::string& path);
// A folder that appeared: its containers are created and its tree scanned.
void Scan_AddFolder(const std::string& path);
// A file or folder that disappeared: its objects are deleted, then the containers above
// it that are left empty.
void Scan_RemovePath(const std::string& path);

// ---- Test hooks ----

// Called with the path of each directory entry before it is processed (nullptr: none).
void Scan_SetEntryHookForTest(std::function<void(const std::string& path)> hook);
// Replaces the batch limits (0, 0 restores the defaults).
void Scan_SetBatchLimitsForTest(int entries, uint64_t maxMs);
