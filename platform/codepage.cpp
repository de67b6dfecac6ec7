#include "platform/codepage.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/limits.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr int kUtf8CodePage = 65001;
constexpr char32_t kReplacement = 0xFFFD;
constexpr const char kReplacementUtf8[] = "\xEF\xBF\xBD";

std::atomic<int> g_textCodePage{kDefaultTextCodePage};

// Valid UTF-8 is copied; each byte that starts no valid sequence becomes U+FFFD.
std::string SanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp;
    size_t len = DecodeUtf8(bytes, i, &cp);
    if (len == 0) {
      out += kReplacementUtf8;
      ++i;
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

class Converter {
 public:
  explicit Converter(int codePage) {
    char name[32];
    std::snprintf(name, sizeof name, "CP%d", codePage);
    cd_ = ::iconv_open("UTF-8", name);
    if (cd_ == kInvalid) {
      std::snprintf(name, sizeof name, "WINDOWS-%d", codePage);
      cd_ = ::iconv_open("UTF-8", name);
    }
  }
  ~Converter() {
    if (cd_ != kInvalid) ::iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != kInvalid; }

  std::string Convert(std::string_view bytes) {
    std::string out;
    char buffer[1024];
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    while (inLeft > 0) {
      char* outPtr = buffer;
      size_t outLeft = sizeof buffer;
      size_t rc = ::iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
      int error = errno;
      out.append(buffer, static_cast<size_t>(outPtr - buffer));
      if (rc != static_cast<size_t>(-1)) break;
      if (error == E2BIG) continue;
      // EILSEQ: an undecodable byte; EINVAL: a character cut off at the end.
      out += kReplacementUtf8;
      if (error == EINVAL) break;
      ++in;
      --inLeft;
      ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  static inline const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);
  iconv_t cd_;
};

std::string AsciiOnly(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) < 0x80) {
      out += c;
    } else {
      out += kReplacementUtf8;
    }
  }
  return out;
}

char16_t Unit(std::string_view bytes, size_t i, bool bigEndian) {
  auto b0 = static_cast<unsigned char>(bytes[i]);
  auto b1 = static_cast<unsigned char>(bytes[i + 1]);
  return static_cast<char16_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0);
}

bool IsHigh(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t u = text[i];
    if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHigh(u) || IsLow(u)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    size_t len = DecodeUtf8(text, i, &cp);
    if (len == 0) {
      cp = kReplacement;
      len = 1;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

}  // namespace

int TextCodePage() { return g_textCodePage.load(std::memory_order_acquire); }

void SetTextCodePage(int codePage) { g_textCodePage.store(codePage, std::memory_order_release); }

std::string CodePageToUtf8(std::string_view bytes, int codePage) {
  if (codePage == kUtf8CodePage) return SanitizeUtf8(bytes);
  Converter converter(codePage);
  if (!converter.ok()) return AsciiOnly(bytes);
  return converter.Convert(bytes);
}

std::string Text8ToUtf8(std::string_view bytes, int codePage) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return CodePageToUtf8(bytes, codePage);
}

std::string Text8ToUtf8(std::string_view bytes) { return Text8ToUtf8(bytes, TextCodePage()); }

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) units += Unit(bytes, i, bigEndian);
  std::string out = Utf16ToUtf8(units);
  if (bytes.size() % 2 != 0) out += kReplacementUtf8;
  return out;
}

bool DecodeUtf16WithBom(std::string_view bytes, std::string* text) {
  if (bytes.size() < 2) return false;
  auto b0 = static_cast<unsigned char>(bytes[0]);
  auto b1 = static_cast<unsigned char>(bytes[1]);
  if (b0 == 0xFF && b1 == 0xFE) {
    *text = Utf16ToUtf8(bytes.substr(2), false);
    return true;
  }
  if (b0 == 0xFE && b1 == 0xFF) {
    *text = Utf16ToUtf8(bytes.substr(2), true);
    return true;
  }
  return false;
}

std::string Utf8ToUtf16LE(std::string_view text) {
  std::u16string units = Utf8ToUtf16(text);
  std::string out;
  out.reserve(units.size() * 2);
  for (char16_t u : units) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  }
  return out;
}

}  // namespace platform
