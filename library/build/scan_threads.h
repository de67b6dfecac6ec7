// The scan threads the window (and the command line) starts: add folders, add one
// folder, refresh one folder, rebuild the whole library. Each holds Scanner().filesMutex for
// its whole run, so scans and folder removals never overlap; a second scan waits for
// the first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Thread bodies; each runs on the calling thread and returns when its scan is over.
void ScanThread_AddFolders(const std::vector<std::string>& paths);
void ScanThread_AddFolder(const std::string& path);
// Deletes the folder's containers (and their objects), then scans it again.
void ScanThread_RefreshFolder(const std::string& path);
// Empties the library (shared folders stay), rebuilds the fixed tree, empties cache/
// and thumbnail/, and scans every shared folder.
void ScanThread_RescanAll();

// Every shared folder remembers the work on it that has not reached its end (the Flags
// of its row): a scan, a refresh or a removal cut short by a crash, a kill or an exit.
// The shared folders with such work left, in table order.
std::vector<std::string> Scan_UnfinishedFolders();
// Finishes that work: a scan goes on over what it stored, a refresh is done again, a
// removal is completed. Afterwards the library holds what the work would have left had
// it run through.
void ScanThread_FinishUnfinished();

// One scan thread and its owner: starts it, waits for it, and joins it at the latest
// when destroyed. Starting sets Scanner().running and zeroes the counts of the current scan.
class CScanThread {
 public:
  CScanThread() = default;
  ~CScanThread();
  CScanThread(const CScanThread&) = delete;
  CScanThread& operator=(const CScanThread&) = delete;

  // Each returns false (and starts nothing) while this owner's previous scan runs.
  bool StartAddFolders(std::vector<std::string> paths);
  bool StartAddFolder(std::string path);
  bool StartRefreshFolder(std::string path);
  bool StartRescanAll();
  bool StartFinishUnfinished();

  // True from a start until the scan's body has returned.
  bool Running() const;
  // Waits up to `timeoutMs` for the scan to end; true when it has ended (or none ran).
  bool WaitFor(uint64_t timeoutMs);
  // Waits for the end of the scan and joins the thread.
  void Join();

 private:
  template <typename Body>
  bool Start(Body body);

  mutable std::mutex mutex_;
  std::condition_variable ended_;
  bool running_ = false;
  std::thread thread_;
};
