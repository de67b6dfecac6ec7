// The item counts of the library, read in one place for the start-up counters and the
// scanner's library totals.
#pragma once

#include <cstdint>

struct LibraryItemCounts {
  int32_t shared = 0;   // items of the three flat lists, and rows of Flags 17
  int32_t video = 0;    // items of "All Videos"
  int32_t audio = 0;    // items of "All Music", less half the rows of Flags 17
  int32_t image = 0;    // items of "All Images"
  int32_t flags17 = 0;  // item rows whose Flags are 17, which the program never writes
};

// Counts the items of the open library; every count is 0 when it cannot be read.
LibraryItemCounts db_countItems();
