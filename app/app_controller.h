// The application's non-visual duties, shared by the window and the headless mode: service
// control around every change of what is offered, the server name, and the periodic
// duties of the window's timer. The window only shows and forwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "library/build/library_watcher.h"
#include "library/build/scan_threads.h"

class CAppController {
 public:
  CAppController() = default;
  CAppController(const CAppController&) = delete;
  CAppController& operator=(const CAppController&) = delete;

  // Starts the service when the library holds shared items. False when it was needed and
  // could not start (the caller shows "Cannot Start Media Server Service").
  bool StartServiceIfShared();

  // Stops a running service (before a change of what it offers). Returns whether it ran.
  bool StopServiceForChange();
  // Starts the service again after a change.
  bool StartService();

  // Validates and stores the server name; restarts a running service so the new name is
  // announced. False (nothing stored) when the name is refused.
  bool RenameServer(std::string_view name);
  std::string ServerName() const;

  // Asks for a service restart `delayMs` from `nowMs` (after a scan the window waits a
  // minute so that a client is not shown a half-built library).
  void ScheduleServiceRestart(uint64_t nowMs, uint64_t delayMs);
  bool RestartPending() const { return restartAtMs_ != 0; }

  // ---- Shared folders and scans ----
  // Each stops a running service first and, once the scan has ended, Tick schedules the
  // restart. False when a scan is already running (nothing is started).

  // Stores the folders that are not shared yet and scans them. `alreadyShared` (optional)
  // receives the folders that were shared before.
  bool AddFolders(const std::vector<std::string>& folders,
                  std::vector<std::string>* alreadyShared = nullptr);
  // False as well when the folder is not shared.
  bool RefreshFolder(const std::string& folder);
  bool RescanAll();
  // Removes a shared folder and its media (waits for a running scan). False when the
  // folder was not shared.
  bool RemoveFolder(const std::string& folder);
  // Empties the library and forgets every shared folder (waits for a running scan).
  void ClearLibrary();

  // Starts finishing the work on shared folders that an earlier run left unfinished
  // (Scan_UnfinishedFolders). Returns those folders; empty when there were none (and
  // nothing was started) or a scan runs.
  std::vector<std::string> FinishUnfinishedScans();

  bool ScanRunning() const { return scan_.Running(); }
  // Waits up to `timeoutMs` for the scan; true when none runs.
  bool WaitForScan(uint64_t timeoutMs) { return scan_.WaitFor(timeoutMs); }
  // Stops a running scan after its current entry and waits for it.
  void AbortScan();
  // Joins an ended scan and reloads the counters without scheduling a restart (for
  // start-up, where the service starts afterwards anyway).
  void CompleteScan();

  // ---- Directory watcher ----
  // Starts following every shared folder live; added folders are watched from then on,
  // removed ones no longer.
  void StartWatching();
  // Ends the watcher (before the library closes).
  void StopWatching();
  bool Watching() const { return watcher_ != nullptr; }

  // One line on the current scan: files found per kind, duplicates, unsupported files,
  // and the disc image being read.
  std::string ScanProgressLine() const;

  // The 250 ms duties: the end of a scan reloads the counters and schedules the service
  // restart; a due restart is carried out.
  void Tick(uint64_t nowMs);

 private:
  void LibraryChanged();
  bool Started(bool started);

  CScanThread scan_;
  std::unique_ptr<CLibraryWatcher> watcher_;
  bool scanWasRunning_ = false;
  uint64_t restartAtMs_ = 0;
};

// The pause between stopping and starting the service again, so that control points see
// the old device leave before the new one arrives.
inline constexpr uint64_t kServiceRestartPauseMs = 1000;
// The delay of the restart after a scan.
inline constexpr uint64_t kRestartAfterScanMs = 60000;
// How long the metadata prober's child may wait for the next file before it is ended.
inline constexpr uint64_t kProbeChildIdleMs = 5000;
