// The folder scanner: turns the shared folders into library objects. Every media file is
// stored in the flat list of its kind ("All Videos", "All Music", "All Images"), in the
// folder container that mirrors its directory, and, for audio, under its artist, genre
// and album groups. The same building blocks serve the directory watcher (single files
// and folders) and the window (adding, refreshing, removing and clearing).
//
// Locks: a scan holds Scanner().filesMutex for its whole run; every library step takes the
// library mutex, and a scan's inserts are committed in batches (LibraryTransaction) so
// that the content directory can browse between batches. Order: the scanner's files mutex before
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

// ---- The scanner's state ----

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

// What every scan, watcher update and edit of the library shares: the lock that orders
// them, the flags the rest of the program sets and reads, the counters and the hooks.
// There is one, Scanner(), because the process has one library open (the db_* layer):
// the scan threads, the watcher's thread, the window and start-up and shutdown all write
// to it or wait for it from their own threads, so its guard and its totals cannot belong
// to any one of them. What belongs to one scan operation (its batch of writes, the
// folder's cover, the facts of the file being stored) is held by that operation.
class CScanner {
 public:
  CScanner(const CScanner&) = delete;
  CScanner& operator=(const CScanner&) = delete;

  // Held by every scan thread and every folder removal for its whole run; start-up and
  // shutdown take it to wait for a running scan.
  std::mutex filesMutex;
  // Set to stop a running walk after the entry being processed; cleared by each scan
  // thread when it starts. What was stored stays.
  std::atomic<bool> abort{false};
  // False while a scan thread runs.
  std::atomic<bool> idle{true};
  // Set when a scan is started, cleared by the scan thread at its end.
  std::atomic<bool> running{false};
  CScanCurrentPath currentPath;

  CScanCounts Totals() const { return totals_.Snapshot(); }
  void SetTotals(const CScanCounts& totals) { totals_.Store(totals); }
  CScanCounts Current() const { return current_.Snapshot(); }
  void ResetCurrent() { current_.Store(CScanCounts()); }
  // A file stored in its "All" list (a playlist's entry does not count).
  void CountAdded(int kind);
  void CountDuplicate();
  void CountUnsupported();
  // Lowers the totals for a deleted file of this kind word ("Video", "Audio", "Image")
  // or, with `playlist`, for a playlist.
  void LowerTotals(const std::string& fileType, bool playlist);

  void SetFeedRefresh(std::function<void()> refresh);
  // Runs the feed refresh, when one is installed.
  void RefreshFeeds();
  void SetEntryHook(std::function<void(const std::string&)> hook);
  // The tests' entry hook, called before each directory entry is processed.
  void RunEntryHook(const std::string& path);
  // 0 restores a limit's default.
  void SetBatchLimits(int entries, uint64_t maxMs);
  int BatchEntries() const { return batchEntries_.load(std::memory_order_relaxed); }
  uint64_t BatchMaxMs() const { return batchMaxMs_.load(std::memory_order_relaxed); }

 private:
  friend CScanner& Scanner();
  CScanner();

  struct Counts {
    std::atomic<int> files{0};
    std::atomic<int> video{0};
    std::atomic<int> audio{0};
    std::atomic<int> image{0};
    std::atomic<int> playlists{0};
    std::atomic<int> duplicates{0};
    std::atomic<int> unsupported{0};
    CScanCounts Snapshot() const;
    void Store(const CScanCounts& c);
  };
  Counts totals_;   // the library's, between scans
  Counts current_;  // the current scan's

  std::mutex hooksMutex_;
  std::function<void()> feedRefresh_;
  std::function<void(const std::string&)> entryHook_;
  std::atomic<bool> haveEntryHook_{false};
  std::atomic<int> batchEntries_;
  std::atomic<uint64_t> batchMaxMs_;
};

// The one scanner of the process (see CScanner).
CScanner& Scanner();

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
