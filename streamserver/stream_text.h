// Small text helpers shared by the stream server's parsers.
#pragma once

#include <cstdint>
#include <string_view>

#include "upnp/number.h"

namespace stream_text {

inline bool IsDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Digits only (no sign, no blanks), as a value of at most INT64_MAX.
inline bool ParseDecimal(std::string_view text, int64_t* out) {
  return IsDigits(text) && FLibText_ToInt64(text, out) == 0;
}

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace stream_text
