// The renderer control point's state: the renderer table the page shows, the index of
// renderer devices by UDN, the set of descriptions being downloaded, and the discovery
// algorithm that fills them. It knows nothing of the UPnP library: the control point
// feeds it discovery messages and a way to download a description, so tests can too.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace controlpoint {

// One row of the renderer table.
struct RendererEntry {
  std::string location;      // description URL from the discovery message
  std::string deviceId;      // the device's UDN from the discovery message
  std::string os;            // SERVER header of the discovery message
  std::string friendlyName;  // from the description
  uint32_t seenCount = 0;    // discovery messages seen since the entry was added
  int64_t lastSeen = 0;      // calendar seconds: when added or last seen
};

// One renderer of the index.
struct RendererDevice {
  std::string udn;           // the description's UDN element
  std::string friendlyName;  // the description's friendlyName, or the unknown-name text
  std::chrono::system_clock::time_point timeStamp;  // created, or last seen again
};

// An advertisement or search answer, as the library reports it.
struct RendererDiscovery {
  int errorCode = 0;
  std::string deviceId;
  std::string deviceType;
  std::string location;
  std::string os;
};

// The outcome of one description download.
struct DescriptionFetch {
  enum class Status { kOk, kOpenFailed, kReadFailed };
  Status status = Status::kOk;
  int errorCode = 0;  // the library's code (or HTTP status) of a failure
  std::string body;   // what was read, at most the description buffer's size
};

// Downloads a description URL. Called without any lock held, possibly on several
// threads at once.
using DescriptionFetcher = std::function<DescriptionFetch(const std::string& url)>;

class RendererRegistry {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // `clock` gives the calendar time of last-seen values and time stamps; empty means
  // the system clock.
  explicit RendererRegistry(Clock clock = {});
  RendererRegistry(const RendererRegistry&) = delete;
  RendererRegistry& operator=(const RendererRegistry&) = delete;

  // Starts taking renderers into the index, with the same-subnet filter `local` and
  // `mask` (a mask of 0 lets every renderer through).
  void Open(uint32_t local, uint32_t mask);

  // First half of a stop: from now on discovery messages are ignored and downloads that
  // finish are discarded; the index is emptied.
  void BeginStop();

  // Second half, once no discovery message can arrive any more: the table and the
  // pending downloads are cleared and the registry is ready to be opened again.
  void FinishStop();

  bool Stopping() const { return stopping_.load(std::memory_order_acquire); }

  // Handles one advertisement or search answer: refreshes the entries of a known
  // device, or downloads the description of a new one (through `fetch`, once even if
  // the device answers again meanwhile) and adds it to the table and the index.
  void HandleDiscovery(const RendererDiscovery& event, const DescriptionFetcher& fetch);

  // Replaces `destination` with the table's entries and returns their number.
  size_t CopyRenderers(std::vector<RendererEntry>* destination) const;

  // Removes table entry `index` (later entries move up) and drops its device from the
  // index. False when there is no such entry.
  bool RemoveRenderer(size_t index);

  // A copy of the index's device for `udn` (the discovery message's UDN), if any.
  std::optional<RendererDevice> FindRenderer(const std::string& udn) const;

  // The calendar time of the registry's clock.
  std::chrono::system_clock::time_point Now() const;

 private:
  // Adds the downloaded device; expects mutex_ held.
  void AddLocked(const std::string& key, const RendererDiscovery& event,
                 const std::string& friendlyName, const std::string& udn);

  Clock clock_;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_;  // guards everything below
  bool indexing_ = false;
  uint32_t local_ = 0;
  uint32_t mask_ = 0;
  std::vector<RendererEntry> table_;
  std::map<std::string, RendererDevice> index_;
  std::set<std::string> pending_;
};

}  // namespace controlpoint
