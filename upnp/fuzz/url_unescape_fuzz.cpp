// Any bytes as an escaped URL path: unescaping never grows the text and escaping then
// unescaping gives the bytes back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "upnp/escape.h"

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
  return 0;
}
