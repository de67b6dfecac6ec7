#include "controlpoint/renderer_registry.h"

#include "controlpoint/renderer_description.h"
#include "controlpoint/renderer_limits.h"
#include "controlpoint/renderer_text.h"
#include "platform/log.h"
#include "platform/text.h"

namespace controlpoint {
namespace {

namespace limits = renderer_limits;

int64_t Seconds(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

std::string Field(const std::string& text) { return platform::Utf8Cap(text, limits::kFieldSize); }

}  // namespace

RendererRegistry::RendererRegistry(Clock clock) : clock_(std::move(clock)) {}

std::chrono::system_clock::time_point RendererRegistry::Now() const {
  return clock_ ? clock_() : std::chrono::system_clock::now();
}

void RendererRegistry::Open(uint32_t local, uint32_t mask) {
  std::lock_guard lock(mutex_);
  indexing_ = true;
  local_ = local;
  mask_ = mask;
}

void RendererRegistry::BeginStop() {
  std::lock_guard lock(mutex_);
  stopping_.store(true, std::memory_order_release);
  indexing_ = false;
  index_.clear();
}

void RendererRegistry::FinishStop() {
  std::lock_guard lock(mutex_);
  table_.clear();
  index_.clear();
  // A download that was discarded while stopping leaves nothing behind, so the device is
  // downloaded again after the next start.
  pending_.clear();
  local_ = 0;
  mask_ = 0;
  stopping_.store(false, std::memory_order_release);
}

void RendererRegistry::HandleDiscovery(const RendererDiscovery& event,
                                       const DescriptionFetcher& fetch) {
  if (Stopping()) return;
  if (event.errorCode != 0 || event.deviceType.rfind(limits::kRendererTypePrefix, 0) != 0) {
    return;
  }
  // A message without a device id or a location names nothing we could list or fetch.
  if (event.deviceId.empty() || event.location.empty()) return;

  // Table rows keep the id cut to the field size; the index and the pending set use the
  // same form, so that removing a row always finds its device again.
  const std::string key = Field(event.deviceId);
  {
    std::lock_guard lock(mutex_);
    const auto now = Now();
    for (RendererEntry& entry : table_) {
      if (entry.deviceId == key) {
        ++entry.seenCount;
        entry.lastSeen = Seconds(now);
      }
    }
    if (mask_ != 0) {
      std::optional<uint32_t> address = LocationIpv4(event.location);
      if (!address || (*address & mask_) != (local_ & mask_)) {
        uint32_t shown = address.value_or(0);
        platform::Logf("IP %u.%u.%u.%u is not is same domain with DMA.\n", shown >> 24,
                       (shown >> 16) & 0xff, (shown >> 8) & 0xff, shown & 0xff);
        return;
      }
    }
    auto known = index_.find(key);
    if (known != index_.end()) {
      known->second.timeStamp = now;
      return;
    }
    if (!pending_.insert(key).second) return;
  }

  // The download runs without the lock: it may take the whole time-out.
  DescriptionFetch fetched = fetch(event.location);
  auto dropPending = [&] {
    std::lock_guard lock(mutex_);
    pending_.erase(key);
  };
  if (fetched.status == DescriptionFetch::Status::kOpenFailed) {
    platform::Logf("Download Server Desc fail!! Error Code: %d\n", fetched.errorCode);
    dropPending();
    return;
  }
  if (fetched.status == DescriptionFetch::Status::kReadFailed ||
      fetched.body.size() >= limits::kDescriptionBufferSize) {
    platform::Logf("Server Desc Read Error!! BufferSize[%zu], Error Code: %d\n",
                   fetched.body.size(), fetched.errorCode);
    dropPending();
    return;
  }
  std::optional<RendererDescription> description = ParseRendererDescription(fetched.body);
  if (!description) {
    platform::Log("Server Desc Parsing Error!!\n");
    dropPending();
    return;
  }

  std::lock_guard lock(mutex_);
  pending_.erase(key);
  if (Stopping()) {
    platform::Log("Download Server Desc OK, but UPnP is shutdowning\n");
    return;
  }
  AddLocked(key, event, description->friendlyName, description->udn);
}

void RendererRegistry::AddLocked(const std::string& key, const RendererDiscovery& event,
                                 const std::string& friendlyName, const std::string& udn) {
  const auto now = Now();
  RendererEntry* existing = nullptr;
  for (RendererEntry& entry : table_) {
    if (entry.deviceId == key) existing = &entry;
  }
  if (existing != nullptr) {
    // Only reachable when a row outlived its index entry; refresh it rather than list the
    // renderer twice.
    existing->location = Field(event.location);
    existing->os = Field(event.os);
    existing->friendlyName = Field(friendlyName);
    existing->lastSeen = Seconds(now);
  } else if (table_.size() >= limits::kMaxRenderers) {
    // The device stays out of the index as well, so its next announcement tries again
    // once the page's ageing has made room.
    platform::Logf("Renderer table full (%zu entries), %s not added\n", table_.size(), key.c_str());
    return;
  } else {
    RendererEntry entry;
    entry.location = Field(event.location);
    entry.deviceId = key;
    entry.os = Field(event.os);
    entry.friendlyName = Field(friendlyName);
    entry.lastSeen = Seconds(now);
    table_.push_back(std::move(entry));
  }
  if (indexing_ && index_.find(key) == index_.end()) {
    index_.emplace(key, RendererDevice{udn, friendlyName, now});
    platform::Logf("Add new Render:FriendlyName==> %s!!\n", friendlyName.c_str());
    platform::Log("******************************************\n\n");
  }
}

size_t RendererRegistry::CopyRenderers(std::vector<RendererEntry>* destination) const {
  std::lock_guard lock(mutex_);
  *destination = table_;
  return destination->size();
}

bool RendererRegistry::RemoveRenderer(size_t index) {
  std::lock_guard lock(mutex_);
  if (index >= table_.size()) return false;
  index_.erase(table_[index].deviceId);
  table_.erase(table_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

std::optional<RendererDevice> RendererRegistry::FindRenderer(const std::string& udn) const {
  std::lock_guard lock(mutex_);
  auto found = index_.find(Field(udn));
  if (found == index_.end()) return std::nullopt;
  return found->second;
}

}  // namespace controlpoint
