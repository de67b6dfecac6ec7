#include "cds/cds_to_didl.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/text.h"

const std::string_view kDidlHeadEscaped =
    "&lt;DIDL-Lite xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot; "
    "xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
    "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot;&gt;";
const std::string_view kDidlTailEscaped = "\r\n&lt;/DIDL-Lite&gt;";

namespace {

struct FilterName {
  CdsFilter bit;
  const char* name;
};

// The order of the capabilities strings.
constexpr FilterName kFilterNames[] = {
    {kFilterTitle, "dc:title"},
    {kFilterCreator, "dc:creator"},
    {kFilterChildCount, "@childCount"},
    {kFilterSearchable, "@searchable"},
    {kFilterClass, "upnp:class"},
    {kFilterResProtocolInfo, "res@protocolInfo"},
    {kFilterAlbum, "upnp:album"},
    {kFilterGenre, "upnp:genre"},
    {kFilterRes, "res"},
    {kFilterResResolution, "res@resolution"},
    {kFilterResDuration, "res@duration"},
    {kFilterResBitrate, "res@bitrate"},
    {kFilterResColorDepth, "res@colorDepth"},
    {kFilterResSize, "res@size"},
    {kFilterResBitsPerSample, "res@bitsPerSample"},
    {kFilterResSampleFrequency, "res@sampleFrequency"},
    {kFilterResNrAudioChannels, "res@nrAudioChannels"},
    {kFilterResProtection, "res@protection"},
};

// Tokens recognised by their beginning (case ignored), with the bits they set.
struct FilterToken {
  const char* prefix;
  CdsFilter bits;
};

constexpr FilterToken kAtTokens[] = {{"@childCount", kFilterChildCount},
                                     {"@searchable", kFilterSearchable}};
constexpr FilterToken kContainerTokens[] = {{"container@childCount", kFilterChildCount},
                                            {"container@searchable", kFilterSearchable}};
constexpr FilterToken kResTokens[] = {
    {"res@bitrate", kFilterRes | kFilterResBitrate},
    {"res@bitsPerSample", kFilterRes | kFilterResBitsPerSample},
    {"res@colorDepth", kFilterRes | kFilterResColorDepth},
    {"res@duration", kFilterRes | kFilterResDuration},
    {"res@nrAudioChannels", kFilterRes | kFilterResNrAudioChannels},
    {"res@protection", kFilterRes | kFilterResProtection},
    {"res@resolution", kFilterRes | kFilterResResolution},
    {"res@sampleFrequency", kFilterRes | kFilterResSampleFrequency},
    {"res@size", kFilterRes | kFilterResSize},
    {"res", kFilterRes},
};
// "upnp:albumArtURI" comes before its prefix "upnp:album", which it has always selected
// too, so the album stays where it was for clients that name the art.
constexpr FilterToken kUpnpTokens[] = {{"upnp:albumArtURI", kFilterAlbum | kFilterAlbumArt},
                                       {"upnp:album", kFilterAlbum},
                                       {"upnp:genre", kFilterGenre},
                                       {"upnp:artist", kFilterArtist},
                                       {"upnp:originalTrackNumber", kFilterOriginalTrackNumber}};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         platform::AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}

template <size_t N>
CdsFilter MatchToken(std::string_view rest, const FilterToken (&tokens)[N]) {
  for (const FilterToken& token : tokens) {
    if (StartsWithNoCase(rest, token.prefix)) return token.bits;
  }
  return 0;
}

// The escaped form of each byte that needs one, once and twice; empty for every other
// byte. Values are mostly plain text, so runs without such bytes are copied whole.
struct EscapeTable {
  std::string_view once[256];
  std::string_view twice[256];
};

constexpr EscapeTable MakeEscapeTable() {
  EscapeTable table{};
  table.once['"'] = "&quot;";
  table.once['\''] = "&apos;";
  table.once['<'] = "&lt;";
  table.once['>'] = "&gt;";
  table.once['&'] = "&amp;";
  table.twice['"'] = "&amp;quot;";
  table.twice['\''] = "&amp;apos;";
  table.twice['<'] = "&amp;lt;";
  table.twice['>'] = "&amp;gt;";
  table.twice['&'] = "&amp;amp;";
  return table;
}

constexpr EscapeTable kEscapes = MakeEscapeTable();

// The bytes that have an escaped form are all below 64: one bit each.
constexpr uint64_t kEscapedBytes = (uint64_t{1} << '"') | (uint64_t{1} << '\'') |
                                   (uint64_t{1} << '<') | (uint64_t{1} << '>') |
                                   (uint64_t{1} << '&');

bool NeedsEscape(unsigned char c) { return c < 64 && ((kEscapedBytes >> c) & 1) != 0; }

// Where the next byte with an escaped form is, from `from` on; text.size() when there is
// none. Values are long runs of plain text (URLs, titles), so they are looked through
// sixteen bytes at a time where the processor allows it.
size_t NextEscaped(std::string_view text, size_t from) {
  size_t i = from;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i apostrophe = _mm_set1_epi8('\'');
  const __m128i less = _mm_set1_epi8('<');
  const __m128i greater = _mm_set1_epi8('>');
  const __m128i ampersand = _mm_set1_epi8('&');
  for (; i + 16 <= text.size(); i += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, apostrophe)),
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, less), _mm_cmpeq_epi8(bytes, greater)),
                     _mm_cmpeq_epi8(bytes, ampersand)));
    int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  for (; i < text.size(); ++i) {
    if (NeedsEscape(static_cast<unsigned char>(text[i]))) return i;
  }
  return text.size();
}

void AppendEscaped(std::string_view text, const std::string_view (&entities)[256],
                   std::string* out) {
  size_t plain = 0;
  for (size_t i = NextEscaped(text, 0); i < text.size(); i = NextEscaped(text, plain)) {
    out->append(text.data() + plain, i - plain);
    out->append(entities[static_cast<unsigned char>(text[i])]);
    plain = i + 1;
  }
  out->append(text.data() + plain, text.size() - plain);
}

// The class text of every class a valid object can have (the bits below 6 are zero),
// made once: every object of an answer names its class.
std::string_view ClassText(MediaClass mediaClass) {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> all(1024);
    for (uint32_t i = 0; i < all.size(); ++i)
      all[i] = MediaType_ClassString(static_cast<MediaClass>(i << 6));
    return all;
  }();
  return texts[(static_cast<uint32_t>(mediaClass) >> 6) & 0x3FF];
}

void EscapeOnce(std::string_view text, std::string* out) {
  AppendEscaped(text, kEscapes.once, out);
}

// Decimal text of a number, as "%lld" writes it.
void AppendNumber(long long value, std::string* out) {
  char buffer[24];
  std::to_chars_result end = std::to_chars(buffer, buffer + sizeof buffer, value);
  out->append(buffer, end.ptr);
}

// "%02d" of a number that is not negative.
void AppendTwoDigits(int value, std::string* out) {
  if (value < 10) out->push_back('0');
  AppendNumber(value, out);
}

// "HH:MM:SS" of a positive number of seconds, hours not wrapped.
void AppendDuration(int32_t seconds, std::string* out) {
  if (seconds <= 0) return;
  AppendTwoDigits(seconds / 3600, out);
  out->push_back(':');
  AppendTwoDigits((seconds / 60) % 60, out);
  out->push_back(':');
  AppendTwoDigits(seconds % 60, out);
}

// Writes object parts into one string; values go through the chosen escape.
class DidlWriter {
 public:
  DidlWriter(std::string* out, bool singleEscape) : out_(out), single_(singleEscape) {}
  void Text(std::string_view text) { out_->append(text); }
  void Value(std::string_view value) {
    if (single_) {
      EscapeOnce(value, out_);
    } else {
      CdsToDidl_EscapeTwice(value, out_);
    }
  }
  void Number(long long value) { AppendNumber(value, out_); }
  // An attribute with a number: the name text (with its opening quote), the number and
  // the closing quote.
  void NumberAttribute(std::string_view name, long long value) {
    Text(name);
    Number(value);
    Text("&quot;");
  }
  void Duration(int32_t seconds) { AppendDuration(seconds, out_); }
  void Element(std::string_view name, std::string_view value) {
    Open(name);
    Value(value);
    Close(name);
  }
  void NumberElement(std::string_view name, long long value) {
    Open(name);
    Number(value);
    Close(name);
  }

 private:
  // "\r\n&lt;" name "&gt;" and "&lt;/" name "&gt;", each put together on the stack and
  // added in one step (element names are short).
  void Open(std::string_view name) { Tag("\r\n&lt;", name); }
  void Close(std::string_view name) { Tag("&lt;/", name); }
  void Tag(std::string_view opening, std::string_view name) {
    char text[64];
    if (opening.size() + name.size() + 4 > sizeof text) {
      Text(opening);
      Text(name);
      Text("&gt;");
      return;
    }
    std::memcpy(text, opening.data(), opening.size());
    std::memcpy(text + opening.size(), name.data(), name.size());
    std::memcpy(text + opening.size() + name.size(), "&gt;", 4);
    out_->append(text, opening.size() + name.size() + 4);
  }

 private:
  std::string* out_;
  bool single_;
};

std::string_view ValueOr(const std::optional<std::string>& value, std::string_view otherwise) {
  return value ? std::string_view(*value) : otherwise;
}

int Validate(const CdsMediaObject& object) {
  if (object.id.empty()) return kDidlErrorNoId;
  if (object.parentID.empty()) return kDidlErrorNoParentId;
  if (object.title.empty()) return kDidlErrorNoTitle;
  if (object.mediaClass == 0) return kDidlErrorNoClass;
  if ((object.mediaClass & 0x4000) != 0 && !object.refID.empty()) return kDidlErrorContainerRefId;
  int type = (object.mediaClass >> 14) & 0x3;
  if (type != 1 && type != 2) return kDidlErrorObjectType;
  if (((object.mediaClass >> 10) & 0xF) > 12) return kDidlErrorMajorClass;
  if (((object.mediaClass >> 6) & 0xF) > 12) return kDidlErrorMinorClass;
  if ((object.mediaClass & 0x3F) != 0) return kDidlErrorFourthLevel;
  return 0;
}

void WriteResource(const CdsMediaResource& res, CdsFilter filter, DidlWriter* w) {
  w->Text("\r\n&lt;res protocolInfo=&quot;");
  w->Value(res.protocolInfo);
  w->Text("&quot;");
  if (res.bitrate >= 0 && (filter & kFilterResBitrate))
    w->NumberAttribute(" bitrate=&quot;", res.bitrate / 8);
  if (res.bitsPerSample >= 0 && (filter & kFilterResBitsPerSample))
    w->NumberAttribute(" bitsPerSample=&quot;", res.bitsPerSample);
  if (res.colorDepth >= 0 && (filter & kFilterResColorDepth))
    w->NumberAttribute(" colorDepth=&quot;", res.colorDepth);
  if (res.duration > 0 && (filter & kFilterResDuration)) {
    w->Text(" duration=&quot;");
    w->Duration(res.duration);
    w->Text("&quot;");
  }
  if (res.nrAudioChannels >= 0 && (filter & kFilterResNrAudioChannels))
    w->NumberAttribute(" nrAudioChannels=&quot;", res.nrAudioChannels);
  if (res.protection && (filter & kFilterResProtection)) {
    w->Text(" protection=&quot;");
    w->Value(*res.protection);
    w->Text("&quot;");
  }
  // The resolution is written whenever it is known, whatever the filter asks.
  if (res.resolutionX >= 0 && res.resolutionY >= 0) {
    w->Text(" resolution=&quot;");
    w->Number(res.resolutionX);
    w->NumberAttribute("x", res.resolutionY);
  }
  if (res.sampleFrequency >= 0 && (filter & kFilterResSampleFrequency))
    w->NumberAttribute(" sampleFrequency=&quot;", res.sampleFrequency);
  if (res.size >= 0 && (filter & kFilterResSize)) w->NumberAttribute(" size=&quot;", res.size);
  w->Text("&gt;");
  w->Value(res.uri);
  w->Text("&lt;/res&gt;");
}

}  // namespace

CdsFilter CdsToDidl_ParseFilter(std::string_view filter) {
  CdsFilter mask = 0;
  size_t i = 0;
  while (i < filter.size()) {
    // At the start of a token.
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(filter[i])));
    std::string_view rest = filter.substr(i);
    if (c == '*') {
      mask |= kFilterAll;
      ++i;
      continue;
    }
    if (c != '@' && !std::isalpha(static_cast<unsigned char>(c))) {
      ++i;  // blanks and other marks before a token are passed over
      continue;
    }
    switch (c) {
      case '@':
        mask |= MatchToken(rest, kAtTokens);
        break;
      case 'a':
        mask |= StartsWithNoCase(rest, "ALLIP") ? kFilterAllIp : 0;
        break;
      case 'c':
        mask |= MatchToken(rest, kContainerTokens);
        break;
      case 'd':
        mask |= StartsWithNoCase(rest, "dc:creator") ? kFilterCreator : 0;
        break;
      case 'r':
        mask |= MatchToken(rest, kResTokens);
        break;
      case 'u':
        mask |= MatchToken(rest, kUpnpTokens);
        break;
      case 's':
        mask |= StartsWithNoCase(rest, "sec:CaptionInfo") ? kFilterCaptionInfo : 0;
        break;
      default:
        break;
    }
    size_t comma = filter.find(',', i);
    if (comma == std::string_view::npos) break;
    i = comma + 1;
  }
  return mask;
}

std::string CdsToDidl_FilterToString(CdsFilter mask) {
  std::string text;
  for (const FilterName& entry : kFilterNames) {
    if ((mask & entry.bit) == 0) continue;
    if (!text.empty()) text += ',';
    text += entry.name;
  }
  return text;
}

void CdsToDidl_EscapeTwice(std::string_view text, std::string* out) {
  AppendEscaped(text, kEscapes.twice, out);
}

std::string CdsToDidl_FormatDuration(int32_t seconds) {
  std::string text;
  AppendDuration(seconds, &text);
  return text;
}

int CdsToDidl_GetmediaObjectDidlEscaped(const CdsMediaObject& object, bool singleEscape,
                                        CdsFilter filter, bool wrap, std::string* out) {
  int invalid = Validate(object);
  if (invalid != 0) return invalid;
  size_t start = out->size();
  DidlWriter w(out, singleEscape);
  if (wrap) w.Text(kDidlHeadEscaped);
  bool container = ((object.mediaClass >> 14) & 0x3) == 1;
  const char* restricted = (object.flags & kCdsObjectRestricted) ? "1" : "0";
  if (container) {
    w.Text("\r\n&lt;container id=&quot;");
    w.Value(object.id);
    w.Text("&quot; parentID=&quot;");
    w.Value(object.parentID);
    w.Text("&quot; restricted=&quot;");
    w.Text(restricted);
    if (filter & kFilterSearchable) {
      w.Text("&quot; searchable=&quot;");
      w.Text((object.flags & kCdsObjectSearchable) ? "1" : "0");
    }
    if (filter & kFilterChildCount) {
      w.Text("&quot; childCount=&quot;");
      w.Number(object.childCount);
    }
    w.Text("&quot;&gt;");
  } else {
    w.Text("\r\n&lt;item id=&quot;");
    w.Value(object.id);
    w.Text("&quot; parentID=&quot;");
    w.Value(object.parentID);
    w.Text("&quot; restricted=&quot;");
    w.Text(restricted);
    if (!object.refID.empty()) {
      w.Text("&quot; refID=&quot;");
      w.Value(object.refID);
    }
    w.Text("&quot;&gt;");
  }
  w.Element("dc:title", object.title);
  w.Text("\r\n&lt;dc:company&gt;tarnwick&lt;/dc:company&gt;");
  w.Element("dc:date", object.date);
  w.Text("\r\n&lt;upnp:class&gt;");
  w.Text(ClassText(object.mediaClass));
  w.Text("&lt;/upnp:class&gt;");
  if (filter & kFilterCreator) w.Element("dc:creator", ValueOr(object.creator, "TarnWick"));
  if (filter & kFilterGenre) w.Element("upnp:genre", ValueOr(object.genre, "None"));
  if (filter & kFilterAlbum) w.Element("upnp:album", ValueOr(object.album, "Default"));
  if (filter & kFilterRes) {
    for (const CdsMediaResource& res : object.resources) WriteResource(res, filter, &w);
  }
  if ((filter & kFilterArtist) && object.artist) w.Element("upnp:artist", *object.artist);
  if ((filter & kFilterOriginalTrackNumber) && object.originalTrackNumber > 0)
    w.NumberElement("upnp:originalTrackNumber", object.originalTrackNumber);
  if ((filter & kFilterCaptionInfo) && !object.captionUri.empty()) {
    // The namespace is declared on the element, so the document head stays as it was.
    w.Text("\r\n&lt;sec:CaptionInfoEx sec:type=&quot;");
    w.Value(object.captionType);
    w.Text("&quot; xmlns:sec=&quot;http://www.sec.co.kr/&quot;&gt;");
    w.Value(object.captionUri);
    w.Text("&lt;/sec:CaptionInfoEx&gt;");
  }
  if ((filter & kFilterAlbumArt) && !object.albumArtUri.empty()) {
    w.Text(
        "\r\n&lt;upnp:albumArtURI dlna:profileID=&quot;JPEG_TN&quot; "
        "xmlns:dlna=&quot;urn:schemas-dlna-org:metadata-1-0/&quot;&gt;");
    w.Value(object.albumArtUri);
    w.Text("&lt;/upnp:albumArtURI&gt;");
  }
  w.Text(container ? "\r\n&lt;/container&gt;" : "\r\n&lt;/item&gt;");
  if (wrap) w.Text(kDidlTailEscaped);
  return static_cast<int>(out->size() - start);
}
