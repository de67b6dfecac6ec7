// Any bytes as an escaped URL path: unescaping never grows the text and escaping then
// unescaping gives the bytes back. The URL splitter takes the same input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "upnp/escape.h"
#include "upnp/url.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> exact(data, data + size);
  const size_t length = FLibUrl_UnescapeInPlace(exact.data(), exact.size());
  Check(length <= size);

  const std::string original(reinterpret_cast<const char*>(data), size);
  std::string escaped = FLibUrl_Escape(original);
  Check(escaped.size() == FLibUrl_EscapedLength(original));
  FLibUrl_UnescapeInPlace(&escaped);
  Check(escaped == original);

  std::string ip;
  std::string path;
  uint16_t port = 0;
  if (FLibUrl_Split(original, &ip, &port, &path) == 0) {
    Check(!ip.empty() && port != 0 && !path.empty() && path[0] == '/');
  }
  return 0;
}
