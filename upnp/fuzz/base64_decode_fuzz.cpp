// Any bytes as Base64 text: the output stays within three bytes per four characters and
// survives encoding and decoding again.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/testing/fuzz_check.h"
#include "upnp/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<char> exact(data, data + size);
  const std::string decoded = FLibBase64_Decode(std::string_view(exact.data(), exact.size()));
  FuzzCheck(decoded.size() <= size / 4 * 3 + 2);
  FuzzCheck(FLibBase64_Decode(FLibBase64_Encode(decoded)) == decoded);
  return 0;
}
