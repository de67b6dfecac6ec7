// Any bytes as a header block. A block that parses must write back into a block that
// parses to the same packet.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "upnp/http_packet.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<char> exact(data, data + size);
  auto packet = FLibHttp_ParseHeader(exact.data(), 0, exact.size());
  if (packet == nullptr) return 0;

  std::string wire = FLibHttp_SerializeHead(*packet);
  Check(wire.size() >= 4);
  wire.resize(wire.size() - 4);
  auto again = FLibHttp_ParseHeader(wire);
  Check(again != nullptr);
  Check(again->StatusCode == packet->StatusCode);
  Check(again->Method == packet->Method);
  Check(again->Target == packet->Target);
  Check(again->Reason == packet->Reason);
  Check(again->Version == packet->Version);
  Check(again->Headers.size() == packet->Headers.size());
  for (size_t i = 0; i < packet->Headers.size(); ++i) {
    Check(again->Headers[i].Name == packet->Headers[i].Name);
    Check(again->Headers[i].Value == packet->Headers[i].Value);
    auto value = FLibHttp_HeaderValue(*again, again->Headers[i].Name);
    Check(value.has_value());
  }
  auto copy = FLibHttp_CopyPacket(*again);
  Check(FLibHttp_Serialize(*copy) == FLibHttp_Serialize(*again));
  return 0;
}
