// Any bytes as an escaped URL path: unescaping never grows the text and escaping then
// unescaping gives the bytes back.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/testing/fuzz_check.h"
#include "upnp/escape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> exact(data, data + size);
  const size_t length = FLibUrl_UnescapeInPlace(exact.data(), exact.size());
  FuzzCheck(length <= size);

  const std::string original(reinterpret_cast<const char*>(data), size);
  std::string escaped = FLibUrl_Escape(original);
  FuzzCheck(escaped.size() == FLibUrl_EscapedLength(original));
  FLibUrl_UnescapeInPlace(&escaped);
  FuzzCheck(escaped == original);
  return 0;
}
