// The pre-cache window: one 4 MiB read-ahead window over the file being streamed, so
// that consecutive reads of a large file are served from memory. It changes only where
// the bytes come from, never which bytes a client receives. One window for the whole
// process, guarded by its own mutex; used from the read thread.
//
// A read of at least kPreCacheMinReadBytes is a hit when the window holds this source and
// the slot (offset / block) mod N holds exactly this offset with at least the requested
// bytes. A miss rebuilds the window at the requested offset (for a new file only when it
// has at least kPreCacheMinFileBytes): up to 4 MiB are read and cut into N blocks of the
// requested size (N at most kPreCacheMaxSlots); a window of kPreCacheMinWindowFill bytes
// or fewer is dropped. After each hit its slot is refilled with the block N blocks
// further on, as long as that lies inside the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "delivery/rp_source.h"

// Copies `size` bytes at `offset` of `source` from the window into `buffer` and returns
// `size`; 0 when the read is not served from the window (the caller reads it itself).
size_t PreCache_Read(RpSource* source, uint64_t offset, char* buffer, size_t size);

// Clears the window when it holds the source `sourceId`; every window for 0.
void PreCache_Clear(uint64_t sourceId);
