// Keeps the library current while the program runs: every shared folder is watched, and
// each change below one is applied to the library at once with the scanner's incremental
// operations (added: Scan_AddFolder or Scan_AddPath; removed: Scan_RemovePath; renamed:
// both; modified: nothing). A folder whose changes may have been lost is refreshed as a
// whole, the way the shared-folder page refreshes one.
//
// The application controller owns one CLibraryWatcher: WatchSharedFolders() at start,
// Watch() for each folder it shares, Unwatch() when it removes one, UnwatchAll() when the
// library is cleared. Updates run on the watcher's notification thread, one at a time in
// the order the changes happened, each under Scanner().filesMutex, so they never interleave
// with a scan inside one file's rows (a running scan makes them wait). Destroy the
// CLibraryWatcher without holding Scanner().filesMutex: it joins the thread that may wait for it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "library/build/dir_watcher.h"

class CLibraryWatcher {
 public:
  CLibraryWatcher();
  ~CLibraryWatcher();
  CLibraryWatcher(const CLibraryWatcher&) = delete;
  CLibraryWatcher& operator=(const CLibraryWatcher&) = delete;

  // Watches every shared folder of the library; returns how many watches began.
  int WatchSharedFolders();
  // Watches one folder and everything below it. False when the watch could not begin.
  bool Watch(const std::string& folder);
  void Unwatch(const std::string& folder);
  void UnwatchAll();
  bool IsWatching(const std::string& folder) const;

  // Called on the notification thread after each report has been applied to the library
  // (and for the start, stop and failure of watches): the place to announce a change to
  // clients. Safe to set at any time.
  void SetChangeApplied(std::function<void(const CDirChangeNotification&)> callback);

  CDirectoryChangeWatcher& watcher() { return watcher_; }

  // Applies one report to the library (the delayed handler's updates). Takes
  // Scanner().filesMutex.
  static void ApplyChange(const CDirChangeNotification& n);

 private:
  class Handler;
  struct Applied {
    std::mutex mutex;
    std::function<void(const CDirChangeNotification&)> callback;
  };

  std::shared_ptr<Applied> applied_;
  CDirectoryChangeWatcher watcher_;
};
