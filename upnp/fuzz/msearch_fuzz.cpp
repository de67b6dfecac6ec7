// Any bytes as an SSDP datagram: the search path from parsing to the replies, without
// sockets. Every reply must be one well-formed response whose echoed target cannot start
// a header line of its own.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/testing/fuzz_check.h"
#include "upnp/http_packet.h"
#include "upnp/ssdp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string datagram(reinterpret_cast<const char*>(data), size);
  UpnpSsdpSearch search;
  if (!UpnpSsdp_ParseSearch(datagram, &search)) return 0;
  FuzzCheck(search.Mx <= 10);
  FuzzCheck(UpnpSsdp_ReplyDelayMs(search.Mx, static_cast<uint32_t>(size) * 2654435761u) <
            (search.Mx == 0 ? 1u : search.Mx * 1000));

  static UpnpSsdpRateLimiter limiter;
  limiter.Admit(static_cast<uint32_t>(size), size);

  UpnpSsdpIdentity identity;
  identity.Identifier = "4d696e69-444c-164e-9d41-b827eb0a1b2c";
  identity.WebPort = 52000;
  std::vector<platform::NetInterface> list = {{0xC0A80105, 0xFFFFFF00}, {0x7F000001, 0xFF000000}};
  for (uint32_t local : UpnpSsdp_ReplyInterfaces(list, 0xC0A80109)) {
    std::vector<std::string> replies = UpnpSsdp_SearchReplies(identity, search.Target, local);
    FuzzCheck(replies.size() <= 5);
    for (const std::string& reply : replies) {
      FuzzCheck(reply.size() > 4 && reply.compare(reply.size() - 4, 4, "\r\n\r\n") == 0);
      FuzzCheck(reply.find("\r\n\r\n") == reply.size() - 4);
      FLibHttpPacketPtr packet =
          FLibHttp_ParseHeader(std::string_view(reply).substr(0, reply.size() - 4));
      FuzzCheck(packet != nullptr && packet->StatusCode == 200);
      FuzzCheck(packet->Headers.size() == 6);
    }
  }
  return 0;
}
