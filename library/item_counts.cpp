#include "library/item_counts.h"

#include "library/library.h"
#include "library/statements.h"

LibraryItemCounts db_countItems() {
  LibraryItemCounts counts;
  counts.shared = db_getCount(sql::CountSharedItems());
  counts.video = db_getCount(sql::CountVideoItems());
  counts.flags17 = db_getCount(sql::CountFlags17Items());
  counts.audio = db_getCount(sql::CountAudioItems()) - counts.flags17 / 2;
  counts.image = db_getCount(sql::CountImageItems());
  return counts;
}
