// Any bytes as a header block. A block that parses must write back into a block that
// parses to the same packet.
#include <cstdint>
#include <vector>

#include "platform/testing/fuzz_check.h"
#include "upnp/http_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<char> exact(data, data + size);
  auto packet = FLibHttp_ParseHeader(exact.data(), 0, exact.size());
  if (packet == nullptr) return 0;

  std::string wire = FLibHttp_SerializeHead(*packet);
  FuzzCheck(wire.size() >= 4);
  wire.resize(wire.size() - 4);
  auto again = FLibHttp_ParseHeader(wire);
  FuzzCheck(again != nullptr);
  FuzzCheck(again->StatusCode == packet->StatusCode);
  FuzzCheck(again->Method == packet->Method);
  FuzzCheck(again->Target == packet->Target);
  FuzzCheck(again->Reason == packet->Reason);
  FuzzCheck(again->Version == packet->Version);
  FuzzCheck(again->Headers.size() == packet->Headers.size());
  for (size_t i = 0; i < packet->Headers.size(); ++i) {
    FuzzCheck(again->Headers[i].Name == packet->Headers[i].Name);
    FuzzCheck(again->Headers[i].Value == packet->Headers[i].Value);
    auto value = FLibHttp_HeaderValue(*again, again->Headers[i].Name);
    FuzzCheck(value.has_value());
  }
  auto copy = FLibHttp_CopyPacket(*again);
  FuzzCheck(FLibHttp_Serialize(*copy) == FLibHttp_Serialize(*again));
  return 0;
}
