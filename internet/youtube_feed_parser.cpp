#include "internet/youtube_feed_parser.h"

#include <array>

#include "internet/internet_limits.h"
#include "platform/text.h"

namespace {

struct Entity {
  std::string_view text;
  char value;
};
constexpr std::array<Entity, 5> kEntities = {{
    {"&amp;", '&'},
    {"&quot;", '"'},
    {"&apos;", '\''},
    {"&lt;", '<'},
    {"&gt;", '>'},
}};

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is none.
size_t SequenceLength(std::string_view text) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || text.size() < length) return 0;
  return platform::IsValidUtf8(text.substr(0, length)) ? length : 0;
}

// Replaces every byte that does not start a well-formed sequence with U+FFFD.
std::string SanitizeUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    size_t length = SequenceLength(text);
    if (length == 0) {
      out += kReplacement;
      text.remove_prefix(1);
    } else {
      out += text.substr(0, length);
      text.remove_prefix(length);
    }
  }
  return out;
}

// Cuts valid UTF-8 after `maxUnits` UTF-16 units (characters past U+FFFF count two).
void CapUtf16Units(std::string* text, size_t maxUnits) {
  size_t units = 0;
  for (size_t i = 0; i < text->size();) {
    size_t length = SequenceLength(std::string_view(*text).substr(i));
    size_t needed = length == 4 ? 2 : 1;
    if (units + needed > maxUnits) {
      text->resize(i);
      return;
    }
    units += needed;
    i += length == 0 ? 1 : length;
  }
}

bool IsIdChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

bool IsUsableId(std::string_view id) {
  if (id.empty() || id.size() > kVideoIdMax) return false;
  for (char c : id) {
    if (!IsIdChar(c)) return false;
  }
  return true;
}

}  // namespace

std::string YouTube_DecodeTitle(std::string_view raw) {
  std::string decoded;
  decoded.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    if (raw[i] == '"') {
      ++i;
      continue;
    }
    bool replaced = false;
    if (raw[i] == '&') {
      for (const Entity& e : kEntities) {
        if (raw.substr(i, e.text.size()) == e.text) {
          decoded.push_back(e.value);
          i += e.text.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) decoded.push_back(raw[i++]);
  }
  std::string title = platform::Utf8Cap(SanitizeUtf8(decoded), kFeedTitleMaxBytes + 1);
  CapUtf16Units(&title, kFeedTitleMaxUnits);
  return title;
}

int YouTube_ParseFeed(std::string_view body,
                      const std::function<bool(const YouTubeFeedEntry&)>& entry) {
  constexpr std::string_view kId = "<id>";
  constexpr std::string_view kTitle = "<title";
  int delivered = 0;
  bool feedIdSeen = false;
  size_t pos = 0;
  for (;;) {
    size_t id = body.find(kId, pos);
    if (id == std::string_view::npos) break;
    size_t idStart = id + kId.size();
    size_t idEnd = body.find('<', idStart);
    if (idEnd == std::string_view::npos) break;
    pos = idEnd;
    if (!feedIdSeen) {
      feedIdSeen = true;
      continue;
    }
    std::string_view idText = body.substr(idStart, idEnd - idStart);
    size_t slash = idText.rfind('/');
    std::string_view videoId = slash == std::string_view::npos ? idText : idText.substr(slash + 1);

    size_t title = body.find(kTitle, pos);
    if (title == std::string_view::npos) break;
    size_t textStart = body.find('>', title + kTitle.size());
    if (textStart == std::string_view::npos) break;
    ++textStart;
    size_t textEnd = body.find('<', textStart);
    if (textEnd == std::string_view::npos) break;
    pos = textEnd;
    if (!IsUsableId(videoId)) continue;

    YouTubeFeedEntry found;
    found.videoId = std::string(videoId);
    found.title = YouTube_DecodeTitle(body.substr(textStart, textEnd - textStart));
    if (found.title.empty()) found.title = found.videoId;
    ++delivered;
    if (!entry(found)) break;
  }
  return delivered;
}
