// The ContentDirectory's events of library changes. Every commit that changes the library
// is noted here; the device chain asks when the next event is due and takes it: at most
// one every kUpdateEventIntervalMs, carrying the newest SystemUpdateID and, in
// ContainerUpdateIDs, each container changed since the last event with the counter value
// of its latest change ("id,value,id,value", ascending ids).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "library/library.h"

struct UpdateEvent {
  uint32_t systemUpdateId = 0;
  // None when more containers changed than an event names.
  std::optional<std::string> containerUpdateIds;
};

class UpdateEventModerator {
 public:
  // Notes a committed change. Any thread; never waits for the device chain.
  void Note(const LibraryChange& change);
  // The event due at `nowMs`, or none while nothing changed since the last one or the
  // last one went out less than the interval ago. Taking it starts a new interval.
  std::optional<UpdateEvent> TakeDue(uint64_t nowMs);
  // Milliseconds until an event is due: 0 when one is due now, -1 while nothing waits.
  int64_t WaitMs(uint64_t nowMs) const;
  // The newest SystemUpdateID noted, sent or not; none before the first change.
  std::optional<uint32_t> Latest() const;

 private:
  mutable std::mutex mutex_;
  bool pending_ = false;
  std::optional<uint32_t> latest_;
  std::map<int32_t, uint32_t> containers_;  // id -> counter value of its latest change
  bool tooMany_ = false;
  std::optional<uint64_t> lastSentMs_;
};
