// Feeds arbitrary headers (as a damaged or hostile peer could leave them) and a sequence
// of reads and writes to the ring; no copy may leave the mapped bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/testing/fuzz_check.h"
#include "transcode/transcode_limits.h"
#include "transcode/transcode_ring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace tl = transcode_limits;
  if (size < tl::kHeaderSize + 1) return 0;
  uint32_t ringSize = 1 + data[tl::kHeaderSize] % 64;
  // Exactly the mapped size, so that any overrun is caught by the sanitizer.
  std::vector<uint8_t> area(tl::kHeaderSize + ringSize);
  std::memcpy(area.data(), data, tl::kHeaderSize);
  transcode::RingView ring(area.data(), ringSize);
  (void)ring.MutexName();
  std::vector<uint8_t> buffer(128, 0x5A);
  for (size_t i = tl::kHeaderSize + 1; i < size; ++i) {
    size_t length = data[i] & 0x7F;
    if (data[i] & 0x80) {
      ring.Write(buffer.data(), length);
    } else {
      ring.Read(buffer.data(), length);
    }
    FuzzCheck(!ring.OffsetsValid() || ring.Available() + ring.Free() + 1 == ringSize);
  }
  return 0;
}
