#include "upnp/http_packet.h"

#include <algorithm>

#include "platform/text.h"
#include "upnp/number.h"
#include "upnp/text_split.h"

namespace {

constexpr std::string_view kHttpPrefix = "HTTP/";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Bytes that would end or split a line if they reached the wire.
bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// A header name is a token: no blanks, no control characters, no ":".
bool IsValidHeaderName(std::string_view name) {
  if (name.empty()) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F || c == ':';
  });
}

// Three digits, the first of them 1 to 9, as in every status code we could write back.
bool ParseStatusCode(std::string_view text, int* code) {
  if (text.size() != 3 || text[0] < '1' || text[0] > '9' ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  *code = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
  return true;
}

// "GET /path HTTP/1.1" or "HTTP/1.1 200 OK". The reason phrase is the whole rest of the
// line, spaces included, and may be absent.
bool ParseStartLine(std::string_view line, FLibHttpPacket* packet) {
  const size_t firstSpace = line.find(' ');
  if (firstSpace == std::string_view::npos || firstSpace == 0) return false;
  const std::string_view first = line.substr(0, firstSpace);
  const std::string_view rest = line.substr(firstSpace + 1);
  if (first.substr(0, kHttpPrefix.size()) == kHttpPrefix) {
    const std::string_view version = first.substr(kHttpPrefix.size());
    const size_t codeEnd = rest.find(' ');
    int code;
    if (version.empty() || !ParseStatusCode(rest.substr(0, codeEnd), &code)) return false;
    packet->Version.assign(version);
    packet->StatusCode = code;
    if (codeEnd != std::string_view::npos) packet->Reason.assign(rest.substr(codeEnd + 1));
    return true;
  }
  const FLibSplitList tokens = FLibText_Split(rest, " ");
  if (tokens.size() != 2 || tokens[0].empty()) return false;
  const std::string_view protocol = tokens[1];
  const size_t slash = protocol.rfind('/');
  if (protocol.substr(0, kHttpPrefix.size()) != kHttpPrefix || slash + 1 >= protocol.size()) {
    return false;
  }
  packet->Method.assign(first);
  packet->Target.assign(tokens[0]);
  packet->StatusCode = -1;
  packet->Version.assign(protocol.substr(slash + 1));
  return true;
}

bool NameMatches(const FLibHttpHeader& header, std::string_view name) {
  return platform::AsciiEqualsNoCase(header.Name, name);
}

}  // namespace

FLibHttpPacketPtr FLibHttp_NewPacket() { return std::make_unique<FLibHttpPacket>(); }

FLibHttpPacketPtr FLibHttp_ParseHeader(std::string_view block) {
  // Bare CR, LF and NUL are refused outright: a peer that reads them as line ends would
  // see other headers than we do.
  const FLibSplitList lines = FLibText_Split(block, "\r\n");
  for (const std::string_view line : lines) {
    if (HasLineBreakOrNul(line)) return nullptr;
  }
  auto packet = FLibHttp_NewPacket();
  if (!ParseStartLine(lines.front(), packet.get())) return nullptr;

  // Values are trimmed only once their continuation lines are joined, so a value folded
  // at a blank arrives exactly as it was written.
  auto finishValue = [&packet] {
    if (packet->Headers.empty()) return;
    std::string& value = packet->Headers.back().Value;
    const std::string_view trimmed = TrimBlanks(value);
    value = std::string(trimmed);
  };
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty()) continue;
    if (IsBlank(line.front())) {
      if (packet->Headers.empty()) return nullptr;
      packet->Headers.back().Value.append(line.substr(1));
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return nullptr;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
    if (!IsValidHeaderName(name)) return nullptr;
    finishValue();
    packet->Headers.push_back({std::string(name), std::string(line.substr(colon + 1))});
  }
  finishValue();
  return packet;
}

const FLibHttpHeader* FLibHttp_FindHeader(const FLibHttpPacket& packet, std::string_view name) {
  for (const FLibHttpHeader& header : packet.Headers) {
    if (NameMatches(header, name)) return &header;
  }
  return nullptr;
}

std::optional<std::string> FLibHttp_HeaderValue(const FLibHttpPacket& packet,
                                                std::string_view name) {
  const FLibHttpHeader* header = FLibHttp_FindHeader(packet, name);
  if (header == nullptr) return std::nullopt;
  std::string_view value = header->Value;
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  return std::string(value);
}

bool FLibHttp_HeaderEquals(const FLibHttpPacket& packet, std::string_view name,
                           std::string_view value) {
  const FLibHttpHeader* header = FLibHttp_FindHeader(packet, name);
  return header != nullptr && platform::AsciiEqualsNoCase(TrimBlanks(header->Value), value);
}
