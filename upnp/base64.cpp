#include "upnp/base64.h"

#include <cstdint>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string FLibBase64_Encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8 |
                           static_cast<unsigned char>(data[i + 2]);
    out.push_back(kAlphabet[group >> 18 & 63]);
    out.push_back(kAlphabet[group >> 12 & 63]);
    out.push_back(kAlphabet[group >> 6 & 63]);
    out.push_back(kAlphabet[group & 63]);
  }
  const size_t left = data.size() - i;
  if (left == 0) return out;
  uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16;
  if (left == 2) group |= static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
  out.push_back(kAlphabet[group >> 18 & 63]);
  out.push_back(kAlphabet[group >> 12 & 63]);
  out.push_back(left == 2 ? kAlphabet[group >> 6 & 63] : '=');
  out.push_back('=');
  return out;
}
