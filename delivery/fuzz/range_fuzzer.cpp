// Feeds a request header block to the transfer header parser. The first eight bytes give
// the source length; the rest is the block, also parsed as one bare Range value. Every
// range that comes out must lie inside the source, and there are never too many.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "delivery/delivery_limits.h"
#include "delivery/transfer.h"
#include "upnp/http_packet.h"

namespace {

void Check(const TransferRequest& parsed, int64_t length, bool whole) {
  constexpr uint32_t kErrors = kTransferNotFound | kTransferMalformed | kTransferNotImplemented |
                               kTransferUnsatisfiable | kTransferInternalError |
                               kTransferRangeBeyondEnd;
  if (parsed.Flags & kErrors) return;
  if (whole && (parsed.Ranges.empty() || parsed.Ranges.size() > kTransferMaxRanges)) std::abort();
  int64_t total = 0;
  for (const TransferRange& range : parsed.Ranges) {
    if (range.Start < 0 || range.Remaining < 0 || range.Start > length ||
        range.Remaining > length - range.Start)
      std::abort();
    total += range.Remaining;
  }
  if (whole && total > length) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t raw = 0;
  std::memcpy(&raw, data, 8);
  // The top bit asks for a small source, which random inputs would otherwise rarely give.
  const int64_t length = static_cast<int64_t>((raw >> 63) ? (raw & 0xFFFF) : raw);
  std::string_view text(reinterpret_cast<const char*>(data + 8), size - 8);

  TransferRequest bare;
  RP_ParseRangeValue(text, length, &bare);
  Check(bare, length, false);

  FLibHttpPacketPtr packet = FLibHttp_ParseHeader(text);
  if (packet) Check(RP_ParseTransferHeaders(*packet, length), length, true);
  return 0;
}
