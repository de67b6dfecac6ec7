#include "app/library_counters.h"

#include <algorithm>

#include "library/container_numbers.h"
#include "library/item_counts.h"
#include "library/library.h"
#include "library/object_numbers.h"

std::atomic<int32_t> SharedItemCount{0};
std::atomic<int32_t> VideoItemCount{0};
std::atomic<int32_t> AudioItemCount{0};
std::atomic<int32_t> ImageItemCount{0};
std::atomic<int32_t> Flags17ItemCount{0};

void LoadLibraryCounters() {
  // A fresh tree is not followed by its last number plus one: one number is skipped.
  g_nextMyIndex.store(std::max(db_getMaxIndex() + 1, kFirstFreeObjectNumber),
                      std::memory_order_release);
  LibraryItemCounts counts = db_countItems();
  SharedItemCount = counts.shared;
  VideoItemCount = counts.video;
  Flags17ItemCount = counts.flags17;
  AudioItemCount = counts.audio;
  ImageItemCount = counts.image;
}
