// Item counts of the library, loaded at start-up and after every change of what is
// shared. The service starts at start-up only when SharedItemCount is not 0.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> SharedItemCount;
extern std::atomic<int32_t> VideoItemCount;
extern std::atomic<int32_t> AudioItemCount;
extern std::atomic<int32_t> ImageItemCount;
extern std::atomic<int32_t> Flags17ItemCount;

// Counts the items and sets the object-number counter past the highest number in the
// library (never below the first number after the fixed containers).
void LoadLibraryCounters();
