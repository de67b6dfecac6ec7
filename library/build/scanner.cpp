// The scanner's shared state, the classification of files and the helpers every file of
// the scan uses. The walk is in scan_walk.cpp, the watcher's forms in
// scan_incremental.cpp, the inserts in file_system_tree.cpp and the deletions in
// library_edit.cpp.
#include "library/build/scanner.h"

#include "app/settings.h"
#include "library/build/scan_internal.h"
#include "library/build/scan_limits.h"
#include "library/item_counts.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/app_directory.h"
#include "platform/codepage.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/tick.h"

void CScanCurrentPath::Set(const std::string& path) {
  std::lock_guard lock(mutex_);
  path_ = path;
}

void CScanCurrentPath::Clear() {
  std::lock_guard lock(mutex_);
  path_.clear();
}

std::string CScanCurrentPath::Get() const {
  std::lock_guard lock(mutex_);
  return path_;
}

// ---- The one scanner ----

namespace {

void DecrementClamped(std::atomic<int>& counter) {
  int value = counter.load(std::memory_order_acquire);
  while (value > 0 && !counter.compare_exchange_weak(value, value - 1, std::memory_order_acq_rel)) {
  }
}

}  // namespace

CScanner& Scanner() {
  static CScanner scanner;
  return scanner;
}

CScanner::CScanner()
    : batchEntries_(scan_limits::kBatchEntries), batchMaxMs_(scan_limits::kBatchMaxMs) {}

CScanCounts CScanner::Counts::Snapshot() const {
  CScanCounts c;
  c.files = files.load(std::memory_order_acquire);
  c.video = video.load(std::memory_order_acquire);
  c.audio = audio.load(std::memory_order_acquire);
  c.image = image.load(std::memory_order_acquire);
  c.playlists = playlists.load(std::memory_order_acquire);
  c.duplicates = duplicates.load(std::memory_order_acquire);
  c.unsupported = unsupported.load(std::memory_order_acquire);
  return c;
}

void CScanner::Counts::Store(const CScanCounts& c) {
  files.store(c.files, std::memory_order_release);
  video.store(c.video, std::memory_order_release);
  audio.store(c.audio, std::memory_order_release);
  image.store(c.image, std::memory_order_release);
  playlists.store(c.playlists, std::memory_order_release);
  duplicates.store(c.duplicates, std::memory_order_release);
  unsupported.store(c.unsupported, std::memory_order_release);
}

void CScanner::CountAdded(int kind) {
  if (kind == kKindPlaylistEntry) return;
  for (Counts* c : {&totals_, &current_}) {
    c->files.fetch_add(1, std::memory_order_acq_rel);
    if (kind == kKindVideo) c->video.fetch_add(1, std::memory_order_acq_rel);
    if (kind == kKindAudio) c->audio.fetch_add(1, std::memory_order_acq_rel);
    if (kind == kKindImage) c->image.fetch_add(1, std::memory_order_acq_rel);
    if (kind == kKindPlaylist) c->playlists.fetch_add(1, std::memory_order_acq_rel);
  }
}

void CScanner::CountDuplicate() {
  totals_.duplicates.fetch_add(1, std::memory_order_acq_rel);
  current_.duplicates.fetch_add(1, std::memory_order_acq_rel);
}

void CScanner::CountUnsupported() { current_.unsupported.fetch_add(1, std::memory_order_acq_rel); }

void CScanner::LowerTotals(const std::string& fileType, bool playlist) {
  DecrementClamped(totals_.files);
  if (playlist) {
    DecrementClamped(totals_.playlists);
  } else if (fileType == "Video") {
    DecrementClamped(totals_.video);
  } else if (fileType == "Audio") {
    DecrementClamped(totals_.audio);
  } else if (fileType == "Image") {
    DecrementClamped(totals_.image);
  }
}

void CScanner::SetFeedRefresh(std::function<void()> refresh) {
  std::lock_guard lock(hooksMutex_);
  feedRefresh_ = std::move(refresh);
}

void CScanner::RefreshFeeds() {
  std::function<void()> refresh;
  {
    std::lock_guard lock(hooksMutex_);
    refresh = feedRefresh_;
  }
  if (refresh) refresh();
}

void CScanner::SetEntryHook(std::function<void(const std::string&)> hook) {
  std::lock_guard lock(hooksMutex_);
  haveEntryHook_.store(static_cast<bool>(hook), std::memory_order_release);
  entryHook_ = std::move(hook);
}

void CScanner::RunEntryHook(const std::string& path) {
  if (!haveEntryHook_.load(std::memory_order_acquire)) return;
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(hooksMutex_);
    hook = entryHook_;
  }
  if (hook) hook(path);
}

void CScanner::SetBatchLimits(int entries, uint64_t maxMs) {
  batchEntries_.store(entries > 0 ? entries : scan_limits::kBatchEntries);
  batchMaxMs_.store(maxMs > 0 ? maxMs : scan_limits::kBatchMaxMs);
}

CScanCounts Scan_LibraryTotals() { return Scanner().Totals(); }

void Scan_SetLibraryTotals(const CScanCounts& totals) { Scanner().SetTotals(totals); }

void Scan_LoadLibraryTotals() {
  LibraryItemCounts counts = db_countItems();
  CScanCounts totals;
  totals.video = counts.video;
  totals.audio = counts.audio;
  totals.image = counts.image;
  totals.files = counts.shared;
  Scan_SetLibraryTotals(totals);
}

CScanCounts Scan_CurrentCounts() { return Scanner().Current(); }

void Scan_ResetCurrentCounts() { Scanner().ResetCurrent(); }

void Scan_SetFeedRefresh(std::function<void()> refresh) {
  Scanner().SetFeedRefresh(std::move(refresh));
}

void Scan_SetEntryHookForTest(std::function<void(const std::string& path)> hook) {
  Scanner().SetEntryHook(std::move(hook));
}

void Scan_SetBatchLimitsForTest(int entries, uint64_t maxMs) {
  Scanner().SetBatchLimits(entries, maxMs);
}

// ---- Helpers of every file of the scan ----

namespace scan_detail {

std::string ExtensionLower(std::string_view name) {
  return platform::AsciiLower(platform::PathExtension(name));
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string DisplayName(std::string_view raw) { return platform::Text8ToUtf8(raw); }

const char* KindWord(int kind) {
  switch (kind) {
    case kKindVideo:
      return "Video";
    case kKindAudio:
      return "Audio";
    case kKindImage:
      return "Image";
    default:
      return "";
  }
}

std::string ListFilePath(int32_t number) {
  return platform::AppPath(scan_limits::kCacheDirectory) + "/" + std::to_string(number) +
         scan_limits::kListFileExtension;
}

bool IsCompressedFolderName(std::string_view name) {
  for (const char* suffix : scan_limits::kCompressedFolderSuffixes) {
    if (platform::EndsWithNoCase(name, suffix)) return true;
  }
  return false;
}

CScanBatch::CScanBatch() { Begin(); }

CScanBatch::~CScanBatch() { Commit(); }

void CScanBatch::Begin() {
  transaction_.emplace();
  entries_ = 0;
  startedMs_ = platform::TickCountMs();
}

void CScanBatch::Commit() {
  if (!transaction_) return;
  if (!transaction_->Commit()) platform::Log("scan: a batch of library writes failed\n");
  transaction_.reset();
}

void CScanBatch::Step() {
  ++entries_;
  if (entries_ < Scanner().BatchEntries() &&
      platform::TickCountMs() - startedMs_ < Scanner().BatchMaxMs()) {
    return;
  }
  Commit();
  platform::SleepMs(scan_limits::kBatchPauseMs);
  Begin();
}

}  // namespace scan_detail

// ---- Classification ----

int Scan_ClassifyFile(const std::string& fileName) {
  std::string ext = scan_detail::ExtensionLower(scan_detail::BaseName(fileName));
  if (ext.empty()) return kKindNone;
  if (ext == ".mpeg") ext = ".mpg";
  if (ext == ".iso") return kKindDiscImage;
  if (ExtensionInFilters(ext, kFilterVideo)) {
    return scan_detail::InArray(ext, scan_limits::kCompanionExtensions) ? kKindCompanion
                                                                        : kKindVideo;
  }
  if (ExtensionInFilters(ext, kFilterAudio)) return kKindAudio;
  if (ExtensionInFilters(ext, kFilterImage)) return kKindImage;
  if (ExtensionInFilters(ext, kFilterPlaylist)) return kKindPlaylist;
  if (ext == scan_limits::kListFileExtension) return kKindPlaylist;
  return kKindNone;
}

int Scan_ExtensionIn(const std::string& fileName, int kindMask) {
  std::string ext = scan_detail::ExtensionLower(scan_detail::BaseName(fileName));
  if (ext.empty()) return 0;
  return ExtensionInFilters(ext, kindMask) ? 1 : 0;
}
