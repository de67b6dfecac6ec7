#include "upnp/number.h"

#include <limits>

namespace {

// Parses the digits of `text` (nothing else allowed) into a magnitude no larger than
// `max`. The check before each step keeps the arithmetic from ever overflowing.
bool ParseMagnitude(std::string_view text, unsigned base, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  uint64_t value = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    if (value > (max - digit) / base) return false;
    value = value * base + digit;
  }
  *out = value;
  return true;
}

bool IsLeadingBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Splits off leading blanks and the sign the way the C library's conversions accept them.
std::string_view StripSign(std::string_view text, bool* negative) {
  size_t i = 0;
  while (i < text.size() && IsLeadingBlank(text[i])) ++i;
  *negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    *negative = text[i] == '-';
    ++i;
  }
  return text.substr(i);
}

template <typename Signed>
int ToSigned(std::string_view text, Signed* out) {
  bool negative;
  const std::string_view digits = StripSign(text, &negative);
  const uint64_t maxPositive = static_cast<uint64_t>(std::numeric_limits<Signed>::max());
  uint64_t magnitude;
  if (!ParseMagnitude(digits, 10, negative ? maxPositive + 1 : maxPositive, &magnitude)) {
    return -1;
  }
  // The most negative value has no positive counterpart, so it is built from below.
  if (!negative || magnitude == 0) {
    *out = static_cast<Signed>(magnitude);
  } else {
    *out = static_cast<Signed>(-static_cast<Signed>(magnitude - 1) - 1);
  }
  return 0;
}

template <typename Unsigned>
int ToUnsigned(std::string_view text, Unsigned* out) {
  bool negative;
  const std::string_view digits = StripSign(text, &negative);
  uint64_t value;
  if (negative) return -1;
  if (!ParseMagnitude(digits, 10, std::numeric_limits<Unsigned>::max(), &value)) return -1;
  *out = static_cast<Unsigned>(value);
  return 0;
}

}  // namespace

int FLibText_ToLong(std::string_view text, int32_t* out) { return ToSigned(text, out); }

int FLibText_ToULong(std::string_view text, uint32_t* out) { return ToUnsigned(text, out); }

int FLibText_ToInt64(std::string_view text, int64_t* out) { return ToSigned(text, out); }

int FLibText_ToUInt64(std::string_view text, uint64_t* out) { return ToUnsigned(text, out); }

int FLibText_HexToUInt64(std::string_view text, uint64_t* out) {
  uint64_t value;
  if (!ParseMagnitude(text, 16, std::numeric_limits<uint64_t>::max(), &value)) return -1;
  *out = value;
  return 0;
}
