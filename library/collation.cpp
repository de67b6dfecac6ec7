#include "library/collation.h"

#include <sqlite3.h>

#include <string>

#include "platform/text.h"

namespace {

// Decodes one code point at `i` and advances; a malformed byte stands for itself in a
// range of its own, so every input still compares in a fixed order.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0x110000u + c;
  }
  char32_t cp = c & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return 0x110000u + c;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  i += len;
  return cp;
}

char32_t Fold(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp - 'A' + 'a' : cp;
  if (cp >= 0x110000u) return cp;
  return platform::UnicodeLower(cp);
}

void SortKeyFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  const unsigned char* text = sqlite3_value_text(argv[0]);
  if (text == nullptr) {
    sqlite3_result_text(context, "", 0, SQLITE_STATIC);
    return;
  }
  std::string key = NoCaseSortKey(std::string_view(
      reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_value_bytes(argv[0]))));
  sqlite3_result_text(context, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
}

int Collate(void*, int lengthA, const void* a, int lengthB, const void* b) {
  return CompareNoCase(std::string_view(static_cast<const char*>(a), static_cast<size_t>(lengthA)),
                       std::string_view(static_cast<const char*>(b), static_cast<size_t>(lengthB)));
}

}  // namespace

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    char32_t x = Fold(NextCodePoint(a, i));
    char32_t y = Fold(NextCodePoint(b, j));
    if (x != y) return x < y ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

// Decoding gives values below 0x200000 (four bytes carry 21 bits) and malformed bytes
// 0x110000 + byte; folding keeps every value in that range. So each folded value has an
// ordered form, and the key compares like CompareNoCase, which compares the same values
// one by one and puts the shorter of two equal beginnings first: the UTF-8 forms of those
// values (carried on past U+10FFFF) compare bytewise in the order of the values.
std::string NoCaseSortKey(std::string_view text) {
  std::string key;
  key.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) platform::AppendUtf8(key, Fold(NextCodePoint(text, i)));
  return key;
}

void RegisterNoCaseCollation(sqlite3* db) {
  sqlite3_create_collation(db, "ORVEX_NOCASE", SQLITE_UTF8, nullptr, Collate);
  sqlite3_create_function_v2(db, "orvex_sort_key", 1,
                             SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr,
                             SortKeyFunction, nullptr, nullptr, nullptr);
}
