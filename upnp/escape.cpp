#include "upnp/escape.h"

#include <array>
#include <string_view>

namespace {

struct Entity {
  char Character;
  std::string_view Text;
};

constexpr std::array<Entity, 5> kEntities = {{
    {'"', "&quot;"},
    {'\'', "&apos;"},
    {'<', "&lt;"},
    {'>', "&gt;"},
    {'&', "&amp;"},
}};

const Entity* EntityFor(char c) {
  for (const Entity& entity : kEntities) {
    if (entity.Character == c) return &entity;
  }
  return nullptr;
}

// The bytes a URL carries as they are: letters, digits and the reserved and mark
// characters that keep their meaning in a path.
constexpr std::array<bool, 256> MakeUrlSafeTable() {
  std::array<bool, 256> safe{};
  for (int c = 'A'; c <= 'Z'; ++c) safe[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) safe[c] = true;
  for (int c = '0'; c <= '9'; ++c) safe[c] = true;
  for (char c : std::string_view(";/?:@=+$-_.*")) safe[static_cast<unsigned char>(c)] = true;
  return safe;
}

constexpr std::array<bool, 256> kUrlSafe = MakeUrlSafeTable();

bool IsUrlSafe(unsigned char c) { return kUrlSafe[c]; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void FLibXml_EscapeAppend(std::string* out, std::string_view text) {
  out->reserve(out->size() + FLibXml_EscapedLength(text));
  for (const char c : text) {
    const Entity* entity = EntityFor(c);
    if (entity != nullptr) {
      out->append(entity->Text);
    } else {
      out->push_back(c);
    }
  }
}

std::string FLibXml_Escape(std::string_view text) {
  std::string out;
  FLibXml_EscapeAppend(&out, text);
  return out;
}

size_t FLibXml_EscapedLength(std::string_view text) {
  size_t length = 0;
  for (const char c : text) {
    const Entity* entity = EntityFor(c);
    length += entity != nullptr ? entity->Text.size() : 1;
  }
  return length;
}

size_t FLibXml_UnescapeInPlace(char* text, size_t length) {
  size_t read = 0;
  size_t write = 0;
  while (read < length) {
    if (text[read] == '&') {
      const std::string_view rest(text + read, length - read);
      const Entity* match = nullptr;
      for (const Entity& entity : kEntities) {
        if (rest.substr(0, entity.Text.size()) == entity.Text) match = &entity;
      }
      if (match != nullptr) {
        text[write++] = match->Character;
        read += match->Text.size();
        continue;
      }
    }
    text[write++] = text[read++];
  }
  return write;
}

size_t FLibXml_UnescapeInPlace(std::string* text) {
  const size_t length = FLibXml_UnescapeInPlace(text->data(), text->size());
  text->resize(length);
  return length;
}

void FLibUrl_EscapeAppend(std::string* out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Runs of safe bytes, most of a URL, are copied whole.
  size_t safe = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto u = static_cast<unsigned char>(text[i]);
    if (IsUrlSafe(u)) continue;
    out->append(text.data() + safe, i - safe);
    const char escaped[3] = {'%', kHex[u >> 4], kHex[u & 0x0F]};
    out->append(escaped, sizeof escaped);
    safe = i + 1;
  }
  out->append(text.data() + safe, text.size() - safe);
}

std::string FLibUrl_Escape(std::string_view text) {
  std::string out;
  out.reserve(FLibUrl_EscapedLength(text));
  FLibUrl_EscapeAppend(&out, text);
  return out;
}

size_t FLibUrl_EscapedLength(std::string_view text) {
  size_t length = 0;
  for (const char c : text) length += IsUrlSafe(static_cast<unsigned char>(c)) ? 1 : 3;
  return length;
}

size_t FLibUrl_UnescapeInPlace(char* text, size_t length) {
  size_t read = 0;
  size_t write = 0;
  while (read < length) {
    if (text[read] == '%' && length - read >= 3) {
      const int high = HexValue(text[read + 1]);
      const int low = HexValue(text[read + 2]);
      if (high >= 0 && low >= 0) {
        text[write++] = static_cast<char>(high * 16 + low);
        read += 3;
        continue;
      }
    }
    text[write++] = text[read++];
  }
  return write;
}

size_t FLibUrl_UnescapeInPlace(std::string* text) {
  const size_t length = FLibUrl_UnescapeInPlace(text->data(), text->size());
  text->resize(length);
  return length;
}
