#include "cds/update_events.h"

#include "cds/cds_limits.h"

void UpdateEventModerator::Note(const LibraryChange& change) {
  std::lock_guard lock(mutex_);
  pending_ = true;
  latest_ = change.systemUpdateId;
  if (tooMany_) return;
  if (change.overflow) {
    tooMany_ = true;
    containers_.clear();
    return;
  }
  for (int32_t id : change.containers) containers_[id] = change.systemUpdateId;
  if (containers_.size() > kContainerUpdateIdsMax) {
    tooMany_ = true;
    containers_.clear();
  }
}

std::optional<UpdateEvent> UpdateEventModerator::TakeDue(uint64_t nowMs) {
  std::lock_guard lock(mutex_);
  if (!pending_ || (lastSentMs_ && nowMs - *lastSentMs_ < kUpdateEventIntervalMs))
    return std::nullopt;
  UpdateEvent event;
  event.systemUpdateId = *latest_;
  if (!tooMany_) {
    std::string text;
    for (const auto& [id, value] : containers_) {
      if (!text.empty()) text += ',';
      text += std::to_string(id) + ',' + std::to_string(value);
    }
    event.containerUpdateIds = std::move(text);
  }
  pending_ = false;
  tooMany_ = false;
  containers_.clear();
  lastSentMs_ = nowMs;
  return event;
}

int64_t UpdateEventModerator::WaitMs(uint64_t nowMs) const {
  std::lock_guard lock(mutex_);
  if (!pending_) return -1;
  if (!lastSentMs_ || nowMs - *lastSentMs_ >= kUpdateEventIntervalMs) return 0;
  return static_cast<int64_t>(kUpdateEventIntervalMs - (nowMs - *lastSentMs_));
}

std::optional<uint32_t> UpdateEventModerator::Latest() const {
  std::lock_guard lock(mutex_);
  return latest_;
}
