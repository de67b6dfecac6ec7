#include "gui/transfer_status.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "platform/path.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

constexpr std::string_view kSideFileExtensions[] = {".hdx", ".idx", ".sub", ".saa", ".srt", ".ifo"};

struct TransferRing {
  std::mutex lock;
  std::array<TransferEntry, kTransferRingSize> entries;
  size_t head = 0;  // the next entry to write
  size_t tail = 0;  // the oldest entry kept; head == tail means empty
};

TransferRing& Ring() {
  static TransferRing ring;
  return ring;
}

size_t Previous(size_t index) { return (index + kTransferRingSize - 1) % kTransferRingSize; }

bool IsSideFile(std::string_view filePath) {
  std::string_view extension = platform::PathExtension(filePath);
  if (extension.empty()) return false;
  for (std::string_view side : kSideFileExtensions) {
    if (platform::AsciiEqualsNoCase(extension, side)) return true;
  }
  return false;
}

bool Matches(const TransferEntry& entry, std::string_view urlPath, std::string_view client) {
  return platform::AsciiEqualsNoCase(entry.UrlPath, urlPath) &&
         platform::AsciiEqualsNoCase(entry.ClientAddress, client);
}

std::string Capped(std::string_view text, size_t fieldBytes) {
  return std::string(platform::Utf8Cap(text, fieldBytes));
}

}  // namespace

void RecordTransfer(std::string_view filePath, std::string_view clientAddress, uint64_t totalSize,
                    std::string_view urlPath) {
  if (IsSideFile(filePath)) return;
  std::string client = Capped(clientAddress, kTransferClientBytes);
  std::string url = Capped(urlPath, kTransferPathBytes);
  TransferRing& ring = Ring();
  std::lock_guard guard(ring.lock);
  if (ring.head != ring.tail && Matches(ring.entries[Previous(ring.head)], url, client)) {
    ++ring.entries[Previous(ring.head)].Open;
    return;
  }
  TransferEntry& entry = ring.entries[ring.head];
  entry.FilePath = Capped(filePath, kTransferPathBytes);
  entry.ClientAddress = std::move(client);
  entry.UrlPath = std::move(url);
  entry.TotalSize = totalSize;
  entry.Sent = 0;
  entry.State = kTransferNew;
  entry.Open = 1;
  ring.head = (ring.head + 1) % kTransferRingSize;
  if (ring.head == ring.tail) ring.tail = (ring.tail + 1) % kTransferRingSize;
}

namespace {

// Runs `change` on the newest entry of this URL and client that `wanted` accepts, under
// the list's lock.
template <typename Wanted, typename Change>
void ChangeNewest(std::string_view urlPath, std::string_view clientAddress, Wanted wanted,
                  Change change) {
  std::string client = Capped(clientAddress, kTransferClientBytes);
  std::string url = Capped(urlPath, kTransferPathBytes);
  TransferRing& ring = Ring();
  std::lock_guard guard(ring.lock);
  for (size_t i = ring.head; i != ring.tail;) {
    i = Previous(i);
    TransferEntry& entry = ring.entries[i];
    if (!wanted(entry) || !Matches(entry, url, client)) continue;
    change(entry);
    return;
  }
}

}  // namespace

void UpdateTransfer(std::string_view urlPath, std::string_view clientAddress, uint64_t sent) {
  ChangeNewest(
      urlPath, clientAddress, [](const TransferEntry&) { return true; },
      [sent](TransferEntry& entry) {
        entry.Sent = sent;
        if (entry.State == kTransferShown) entry.State = kTransferChanged;
      });
}

TransferProgress::TransferProgress(std::string_view urlPath, std::string_view clientAddress)
    : urlPath_(urlPath), clientAddress_(clientAddress), reportedAtMs_(platform::TickCountMs()) {}

TransferProgress::~TransferProgress() {
  if (sent_ != reported_) UpdateTransfer(urlPath_, clientAddress_, sent_);
}

void TransferProgress::Sent(uint64_t sent) {
  sent_ = sent;
  uint64_t now = platform::TickCountMs();
  if (now - reportedAtMs_ < kTransferProgressIntervalMs) return;
  reportedAtMs_ = now;
  reported_ = sent;
  UpdateTransfer(urlPath_, clientAddress_, sent);
}

void EndTransfer(std::string_view urlPath, std::string_view clientAddress) {
  ChangeNewest(
      urlPath, clientAddress, [](const TransferEntry& entry) { return entry.Open > 0; },
      [](TransferEntry& entry) { --entry.Open; });
}

std::vector<TransferEntry> OpenTransfers() {
  TransferRing& ring = Ring();
  std::lock_guard guard(ring.lock);
  std::vector<TransferEntry> open;
  for (size_t i = ring.head; i != ring.tail;) {
    i = Previous(i);
    if (ring.entries[i].Open > 0) open.push_back(ring.entries[i]);
  }
  return open;
}

size_t CollectChanges(std::vector<TransferEntry>* destination) {
  TransferRing& ring = Ring();
  std::lock_guard guard(ring.lock);
  size_t copied = 0;
  for (size_t i = ring.head; i != ring.tail;) {
    i = Previous(i);
    TransferEntry& entry = ring.entries[i];
    if (entry.State == kTransferShown) continue;
    destination->push_back(entry);
    entry.State = kTransferShown;
    ++copied;
  }
  return copied;
}

std::string TransferPercentText(const TransferEntry& entry) {
  char text[32];
  if (entry.TotalSize == 0) {
    std::snprintf(text, sizeof text, "%" PRIu64 " B", entry.Sent);
    return text;
  }
  // Sent * 100 could overflow only past 184 PB; divide first for such sizes anyway.
  uint64_t percent = entry.Sent >= entry.TotalSize   ? 100
                     : entry.Sent > UINT64_MAX / 100 ? entry.Sent / (entry.TotalSize / 100 + 1)
                                                     : entry.Sent * 100 / entry.TotalSize;
  if (percent > 100) percent = 100;
  std::snprintf(text, sizeof text, "%3d%%", static_cast<int>(percent));
  return text;
}

void ClearTransfers() {
  TransferRing& ring = Ring();
  std::lock_guard guard(ring.lock);
  ring.head = ring.tail = 0;
  ring.entries = {};
}
