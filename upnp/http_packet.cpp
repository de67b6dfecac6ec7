#include "upnp/http_packet.h"

#include <algorithm>

#include "platform/text.h"
#include "upnp/limits.h"
#include "upnp/number.h"
#include "upnp/text_split.h"

namespace {

constexpr std::string_view kHttpPrefix = "HTTP/";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Bytes that would end or split a line if they reached the wire.
bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool HasBlankOrLineBreak(std::string_view text) {
  return text.find_first_of(std::string_view(" \t\r\n\0", 5)) != std::string_view::npos;
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

// Appends `text` with every CR, LF and NUL written as a space.
void AppendField(std::string* out, std::string_view text) {
  const size_t start = out->size();
  out->append(text);
  for (size_t i = start; i < out->size(); ++i) {
    char& c = (*out)[i];
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
}

void AppendDecimal(std::string* out, int value) { out->append(std::to_string(value)); }

}  // namespace

FLibHttpPacketPtr FLibHttp_NewPacket() { return std::make_unique<FLibHttpPacket>(); }

FLibHttpPacketPtr FLibHttp_CopyPacket(const FLibHttpPacket& packet) {
  return std::make_unique<FLibHttpPacket>(packet);
}

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

FLibHttpPacketPtr FLibHttp_ParseHeader(const char* buffer, size_t offset, size_t length) {
  return FLibHttp_ParseHeader(std::string_view(buffer + offset, length));
}

std::string FLibHttp_SerializeHead(const FLibHttpPacket& packet) {
  std::string out;
  if (packet.StatusCode == -1) {
    AppendField(&out, packet.Method);
    out.push_back(' ');
    AppendField(&out, packet.Target);
    out.append(" HTTP/");
    AppendField(&out, packet.Version);
  } else {
    out.append("HTTP/");
    AppendField(&out, packet.Version);
    out.push_back(' ');
    AppendDecimal(&out, packet.StatusCode);
    out.push_back(' ');
    AppendField(&out, packet.Reason);
  }
  out.append("\r\n");
  constexpr size_t kFold = upnp_limits::kHttpHeaderFoldWidth;
  for (const FLibHttpHeader& header : packet.Headers) {
    AppendField(&out, header.Name);
    out.append(": ");
    const std::string_view value = header.Value;
    for (size_t at = 0; at < value.size(); at += kFold) {
      if (at > 0) out.append("\r\n ");
      AppendField(&out, value.substr(at, kFold));
    }
    out.append("\r\n");
  }
  out.append("\r\n");
  return out;
}

std::string FLibHttp_Serialize(const FLibHttpPacket& packet) {
  std::string out = FLibHttp_SerializeHead(packet);
  out.append(packet.Body);
  return out;
}

int FLibHttp_SetRequestLine(FLibHttpPacket& packet, std::string_view method,
                            std::string_view target) {
  if (method.empty() || target.empty() || HasBlankOrLineBreak(method) ||
      HasBlankOrLineBreak(target)) {
    return -1;
  }
  packet.Method.assign(method);
  packet.Target.assign(target);
  packet.StatusCode = -1;
  return 0;
}

int FLibHttp_SetStatusLine(FLibHttpPacket& packet, int code, std::string_view reason) {
  if (code < 100 || code > 999 || HasLineBreakOrNul(reason)) return -1;
  packet.StatusCode = code;
  packet.Reason.assign(reason);
  return 0;
}

int FLibHttp_SetVersion(FLibHttpPacket& packet, std::string_view version) {
  if (version.empty() || HasBlankOrLineBreak(version)) return -1;
  packet.Version.assign(version);
  return 0;
}

int FLibHttp_AddHeader(FLibHttpPacket& packet, std::string_view name, std::string_view value) {
  if (!IsValidHeaderName(name) || HasLineBreakOrNul(value)) return -1;
  packet.Headers.push_back({std::string(name), std::string(value)});
  return 0;
}

const FLibHttpHeader* FLibHttp_FindHeader(const FLibHttpPacket& packet, std::string_view name) {
  for (const FLibHttpHeader& header : packet.Headers) {
    if (NameMatches(header, name)) return &header;
  }
  return nullptr;
}

FLibHttpHeader* FLibHttp_FindHeader(FLibHttpPacket& packet, std::string_view name) {
  for (FLibHttpHeader& header : packet.Headers) {
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

size_t FLibHttp_RemoveHeaders(FLibHttpPacket& packet, std::string_view name) {
  const size_t before = packet.Headers.size();
  std::erase_if(packet.Headers,
                [name](const FLibHttpHeader& header) { return NameMatches(header, name); });
  return before - packet.Headers.size();
}
