// Any bytes as a header block. A block that parses has a well-formed start line, no line
// break or NUL inside any field, and every header can be found by its own name.
#include <cstdint>
#include <vector>

#include "platform/testing/fuzz_check.h"
#include "upnp/http_packet.h"

namespace {

bool Clean(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<char> exact(data, data + size);
  auto packet = FLibHttp_ParseHeader(std::string_view(exact.data(), exact.size()));
  if (packet == nullptr) return 0;
  if (packet->StatusCode == -1) {
    FuzzCheck(!packet->Method.empty() && !packet->Target.empty());
  } else {
    FuzzCheck(packet->StatusCode >= 100 && packet->StatusCode <= 999);
  }
  FuzzCheck(Clean(packet->Target) && Clean(packet->Reason) && Clean(packet->Version));
  for (const FLibHttpHeader& header : packet->Headers) {
    FuzzCheck(!header.Name.empty() && Clean(header.Name) && Clean(header.Value));
    FuzzCheck(FLibHttp_FindHeader(*packet, header.Name) != nullptr);
  }
  return 0;
}
