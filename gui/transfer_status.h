// The ring of recent transfers that both HTTP servers write and the window's System tab
// shows: which file goes to which client and how far it has got.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kTransferRingSize = 100;
// Text caps of an entry, in bytes with room for the terminator the list view expects.
inline constexpr size_t kTransferPathBytes = 780;
inline constexpr size_t kTransferClientBytes = 100;

enum TransferState : int { kTransferNew = 0, kTransferChanged = 1, kTransferShown = 2 };

struct TransferEntry {
  std::string FilePath;
  std::string ClientAddress;
  std::string UrlPath;
  // 64-bit: files of 4 GiB and more are streamed too.
  uint64_t TotalSize = 0;
  uint64_t Sent = 0;
  int State = kTransferNew;
  // Connections sending this URL to this client now; 0 once they have all ended.
  int Open = 0;
};

// A new transfer, unless it is a side file (seek index, subtitles, disc navigation) or the
// newest entry already names this URL for this client (a client re-requesting one
// resource with another range stays one line). Any thread.
void RecordTransfer(std::string_view filePath, std::string_view clientAddress, uint64_t totalSize,
                    std::string_view urlPath);
// Progress of the newest entry with this URL and client. Any thread.
void UpdateTransfer(std::string_view urlPath, std::string_view clientAddress, uint64_t sent);
// One connection of the newest entry with this URL and client has ended (sent all,
// failed or was closed). Any thread.
void EndTransfer(std::string_view urlPath, std::string_view clientAddress);
// The entries with an open connection, newest first, without marking them shown. Any
// thread.
std::vector<TransferEntry> OpenTransfers();
// Appends the entries not shown yet (newest first), marks them shown, returns how many.
size_t CollectChanges(std::vector<TransferEntry>* destination);
// The progress column: Sent * 100 / TotalSize capped at 100, as "%3d%%"; a transfer of
// unknown size (0) shows its bytes instead of a percentage it cannot have.
std::string TransferPercentText(const TransferEntry& entry);
// Empties the ring (tests, and a window that starts over).
void ClearTransfers();

// Milliseconds between two progress figures of one send: the list is read by a person, and
// a fast copy would otherwise take the list's lock for every piece it sends.
inline constexpr uint64_t kTransferProgressIntervalMs = 250;

// The progress of one send on one thread: figures go to the list at most every
// kTransferProgressIntervalMs, and the last one when the send ends.
class TransferProgress {
 public:
  TransferProgress(std::string_view urlPath, std::string_view clientAddress);
  ~TransferProgress();
  TransferProgress(const TransferProgress&) = delete;
  TransferProgress& operator=(const TransferProgress&) = delete;
  void Sent(uint64_t sent);

 private:
  std::string urlPath_;
  std::string clientAddress_;
  uint64_t sent_ = 0;
  uint64_t reported_ = 0;
  uint64_t reportedAtMs_;
};

// A transfer recorded for the life of a send that runs on one thread.
class ScopedTransfer {
 public:
  ScopedTransfer(std::string_view filePath, std::string_view clientAddress, uint64_t totalSize,
                 std::string_view urlPath)
      : urlPath_(urlPath), clientAddress_(clientAddress) {
    RecordTransfer(filePath, clientAddress, totalSize, urlPath);
  }
  ~ScopedTransfer() { EndTransfer(urlPath_, clientAddress_); }
  ScopedTransfer(const ScopedTransfer&) = delete;
  ScopedTransfer& operator=(const ScopedTransfer&) = delete;

 private:
  std::string urlPath_;
  std::string clientAddress_;
};
