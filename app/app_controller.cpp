#include "app/app_controller.h"

#include <cstdio>

#include "app/library_counters.h"
#include "app/service.h"
#include "app/settings.h"
#include "library/build/library_edit.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "media/av_probe.h"
#include "platform/process.h"
#include "platform/tick.h"

bool CAppController::StartServiceIfShared() {
  if (SharedItemCount.load() == 0) return true;
  return StartService();
}

bool CAppController::StopServiceForChange() {
  if (!MediaServerService_IsRunning()) return false;
  MediaServerService_Stop();
  return true;
}

bool CAppController::StartService() { return MediaServerService_Start() == 1; }

bool CAppController::RenameServer(std::string_view name) {
  if (!IsValidServerName(name)) return false;
  db_setAVP(kKeyServerName, name);
  if (StopServiceForChange()) {
    platform::SleepMs(kServiceRestartPauseMs);
    StartService();
  }
  return true;
}

std::string CAppController::ServerName() const { return ReadSetting(kKeyServerName); }

void CAppController::ScheduleServiceRestart(uint64_t nowMs, uint64_t delayMs) {
  restartAtMs_ = nowMs + delayMs;
  if (restartAtMs_ == 0) restartAtMs_ = 1;
}

bool CAppController::AddFolders(const std::vector<std::string>& folders,
                                std::vector<std::string>* alreadyShared) {
  if (scan_.Running()) return false;
  std::vector<std::string> added;
  for (const std::string& folder : folders) {
    if (Lib_AddSharedFolder(folder)) {
      // Watched before the scan, so a file added while it runs is not missed.
      if (watcher_) watcher_->Watch(folder);
      added.push_back(folder);
    } else if (alreadyShared != nullptr) {
      alreadyShared->push_back(folder);
    }
  }
  if (added.empty()) return true;
  StopServiceForChange();
  return Started(scan_.StartAddFolders(std::move(added)));
}

bool CAppController::RefreshFolder(const std::string& folder) {
  SharedFolderRecord record;
  if (scan_.Running() || !db_getSharedFolder(folder, &record)) return false;
  StopServiceForChange();
  return Started(scan_.StartRefreshFolder(folder));
}

bool CAppController::RescanAll() {
  if (scan_.Running()) return false;
  StopServiceForChange();
  return Started(scan_.StartRescanAll());
}

std::vector<std::string> CAppController::FinishUnfinishedScans() {
  if (scan_.Running()) return {};
  std::vector<std::string> folders = Scan_UnfinishedFolders();
  if (folders.empty()) return folders;
  StopServiceForChange();
  if (!Started(scan_.StartFinishUnfinished())) return {};
  return folders;
}

bool CAppController::RemoveFolder(const std::string& folder) {
  SharedFolderRecord record;
  if (!db_getSharedFolder(folder, &record)) return false;
  bool wasRunning = StopServiceForChange();
  if (watcher_) watcher_->Unwatch(folder);
  Lib_RemoveSharedFolder(folder);
  LibraryChanged();
  if (wasRunning) StartServiceIfShared();
  return true;
}

void CAppController::ClearLibrary() {
  bool wasRunning = StopServiceForChange();
  if (watcher_) watcher_->UnwatchAll();
  Lib_Clear();
  LibraryChanged();
  if (wasRunning) StartServiceIfShared();
}

void CAppController::AbortScan() {
  Scanner().abort.store(true, std::memory_order_release);
  CompleteScan();
}

bool CAppController::Started(bool started) {
  // Tick notices the end of this scan even when it never saw it running.
  if (started) scanWasRunning_ = true;
  return started;
}

void CAppController::StartWatching() {
  if (watcher_) return;
  watcher_ = std::make_unique<CLibraryWatcher>();
  watcher_->WatchSharedFolders();
}

void CAppController::StopWatching() { watcher_.reset(); }

void CAppController::CompleteScan() {
  scan_.Join();
  scanWasRunning_ = false;
  LibraryChanged();
  // What the scan read and built is not needed at rest.
  media::AvProbe_EndIdleChild(0);
  db_releaseMemory();
  platform::ReleaseFreeMemory();
}

std::string CAppController::ScanProgressLine() const {
  CScanCounts c = Scan_CurrentCounts();
  char line[512];
  std::snprintf(line, sizeof line,
                "Scanning: %d videos, %d audio, %d images, %d playlists, %d duplicates, "
                "%d unsupported",
                c.video, c.audio, c.image, c.playlists, c.duplicates, c.unsupported);
  std::string text = line;
  std::string image = Scanner().currentPath.Get();
  if (!image.empty()) text += ", reading " + image;
  return text;
}

void CAppController::LibraryChanged() {
  LoadLibraryCounters();
  Scan_LoadLibraryTotals();
}

void CAppController::Tick(uint64_t nowMs) {
  bool running = scan_.Running();
  if (scanWasRunning_ && !running) {
    scan_.Join();
    LibraryChanged();
    ScheduleServiceRestart(nowMs, kRestartAfterScanMs);
  }
  scanWasRunning_ = running;
  // The watcher probes the files that arrive; the prober leaves once they are in.
  media::AvProbe_EndIdleChild(kProbeChildIdleMs);
  if (restartAtMs_ != 0 && nowMs >= restartAtMs_) {
    restartAtMs_ = 0;
    StopServiceForChange();
    StartServiceIfShared();
  }
}
