// The monotonic millisecond clock used for every time-out and timer.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds of CLOCK_MONOTONIC; never goes backwards, unaffected by clock changes.
uint64_t TickCountMs();

// Sleeps for `ms` milliseconds (restarted after signals).
void SleepMs(uint64_t ms);

}  // namespace platform
