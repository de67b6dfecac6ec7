#include "delivery/precache.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>

#include "delivery/delivery_limits.h"

namespace {

struct Slot {
  bool Valid = false;
  size_t BufferAt = 0;
  int64_t Offset = 0;
  size_t Filled = 0;
};

struct Window {
  std::mutex Mutex;
  uint64_t SourceId = 0;
  int64_t FileSize = 0;
  int64_t Start = 0;
  int64_t End = 0;
  size_t Block = 0;
  size_t Count = 0;
  std::unique_ptr<char[]> Buffer;
  std::array<Slot, kPreCacheMaxSlots> Slots{};
};

Window& TheWindow() {
  static Window window;
  return window;
}

// Reads until `size` bytes, the end of the file or an error; the count read.
size_t ReadFully(RpSource* source, int64_t offset, char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    int64_t n = source->Read(static_cast<uint64_t>(offset) + done, buffer + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void ClearLocked(Window& w) {
  w.SourceId = 0;
  w.FileSize = 0;
  w.Start = w.End = 0;
  w.Block = w.Count = 0;
  w.Buffer.reset();
  w.Slots.fill(Slot{});
}

Slot* HitLocked(Window& w, uint64_t sourceId, int64_t offset, size_t size) {
  if (w.SourceId != sourceId || w.Count == 0 || offset < w.Start || offset >= w.End) return nullptr;
  Slot& slot = w.Slots[(static_cast<uint64_t>(offset) / w.Block) % w.Count];
  return slot.Valid && slot.Offset == offset && slot.Filled >= size ? &slot : nullptr;
}

bool BuildLocked(Window& w, RpSource* source, int64_t offset, size_t block) {
  int64_t fileSize = source->Size();
  if (w.SourceId != source->Id() && fileSize < kPreCacheMinFileBytes) return false;
  if (block > kPreCacheWindowBytes / 2) return false;  // a window of one block saves nothing
  if (!w.Buffer) w.Buffer = std::make_unique<char[]>(kPreCacheWindowBytes);
  size_t got = ReadFully(source, offset, w.Buffer.get(), kPreCacheWindowBytes);
  if (got <= kPreCacheMinWindowFill) {
    ClearLocked(w);
    return false;
  }
  w.Slots.fill(Slot{});
  w.SourceId = source->Id();
  w.FileSize = fileSize;
  w.Block = block;
  w.Count = std::min(got / block, kPreCacheMaxSlots);
  w.Start = offset;
  w.End = offset + static_cast<int64_t>(w.Count * block);
  const uint64_t first = static_cast<uint64_t>(offset) / block;
  for (size_t i = 0; i < w.Count; ++i) {
    Slot& slot = w.Slots[(first + i) % w.Count];
    slot = Slot{true, i * block, offset + static_cast<int64_t>(i * block), block};
  }
  return true;
}

// Loads the block N blocks on into the slot just used, unless that passes the file's end.
void RefillLocked(Window& w, RpSource* source, Slot* slot) {
  const int64_t next = slot->Offset + static_cast<int64_t>(w.Count * w.Block);
  if (next >= w.FileSize) return;
  size_t got = ReadFully(source, next, w.Buffer.get() + slot->BufferAt, w.Block);
  slot->Offset = next;
  slot->Filled = got;
  slot->Valid = got > 0;
  w.End = std::max(w.End, next + static_cast<int64_t>(got));
}

}  // namespace

size_t PreCache_Read(RpSource* source, uint64_t offset, char* buffer, size_t size) {
  if (source == nullptr || source->IsStream() || size < kPreCacheMinReadBytes ||
      offset > static_cast<uint64_t>(INT64_MAX))
    return 0;
  Window& w = TheWindow();
  std::lock_guard lock(w.Mutex);
  const int64_t at = static_cast<int64_t>(offset);
  Slot* slot = HitLocked(w, source->Id(), at, size);
  if (slot == nullptr) {
    if (!BuildLocked(w, source, at, size)) return 0;
    slot = HitLocked(w, source->Id(), at, size);
    if (slot == nullptr) return 0;
  }
  std::memcpy(buffer, w.Buffer.get() + slot->BufferAt, size);
  RefillLocked(w, source, slot);
  return size;
}

void PreCache_Clear(uint64_t sourceId) {
  Window& w = TheWindow();
  std::lock_guard lock(w.Mutex);
  if (sourceId == 0 || w.SourceId == sourceId) ClearLocked(w);
}
