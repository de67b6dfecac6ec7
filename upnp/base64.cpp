#include "upnp/base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six-bit value of each byte, or -1 for bytes outside the alphabet.
constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
  return table;
}

constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

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

std::string FLibBase64_Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const int value = kDecode[static_cast<unsigned char>(c)];
    if (value < 0) continue;
    bits = bits << 6 | static_cast<uint32_t>(value);
    if (++count == 4) {
      out.push_back(static_cast<char>(bits >> 16 & 0xFF));
      out.push_back(static_cast<char>(bits >> 8 & 0xFF));
      out.push_back(static_cast<char>(bits & 0xFF));
      bits = 0;
      count = 0;
    }
  }
  // A partial group: 2 characters carry one byte, 3 carry two; 1 carries none.
  if (count == 2) {
    out.push_back(static_cast<char>(bits >> 4 & 0xFF));
  } else if (count == 3) {
    out.push_back(static_cast<char>(bits >> 10 & 0xFF));
    out.push_back(static_cast<char>(bits >> 2 & 0xFF));
  }
  return out;
}
