#include "controlpoint/renderer_text.h"

#include <cstdio>

#include "controlpoint/renderer_limits.h"

namespace controlpoint {
namespace {

constexpr std::string_view kHttpPrefix = "http://";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads one part of 1 to 3 digits worth at most 255 from `text` at `*at`.
std::optional<uint32_t> ReadOctet(std::string_view text, size_t* at) {
  size_t start = *at;
  uint32_t value = 0;
  while (*at < text.size() && IsDigit(text[*at]) && *at - start < 3) {
    value = value * 10 + static_cast<uint32_t>(text[*at] - '0');
    ++*at;
  }
  if (*at == start || value > 255) return std::nullopt;
  if (*at < text.size() && IsDigit(text[*at])) return std::nullopt;  // a fourth digit
  return value;
}

// Reads "a.b.c.d" from `text` at `*at`, leaving `*at` after the fourth part.
std::optional<uint32_t> ReadQuad(std::string_view text, size_t* at) {
  uint32_t value = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*at >= text.size() || text[*at] != '.') return std::nullopt;
      ++*at;
    }
    std::optional<uint32_t> octet = ReadOctet(text, at);
    if (!octet) return std::nullopt;
    value = (value << 8) | *octet;
  }
  return value;
}

bool IsHostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '.' || c == '-' ||
         c == '_';
}

bool IsIpv6LiteralChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

}  // namespace

std::optional<uint32_t> ParseDottedQuad(std::string_view text) {
  size_t at = 0;
  std::optional<uint32_t> value = ReadQuad(text, &at);
  if (!value || at != text.size()) return std::nullopt;
  return value;
}

std::optional<uint32_t> LocationIpv4(std::string_view location) {
  if (location.substr(0, kHttpPrefix.size()) != kHttpPrefix) return std::nullopt;
  size_t at = kHttpPrefix.size();
  return ReadQuad(location, &at);
}

std::string RendererListLine(std::string_view location, std::string_view friendlyName) {
  size_t slash = location.rfind('/');
  std::string line(slash == std::string_view::npos ? location : location.substr(0, slash + 1));
  line += renderer_limits::kListLineMiddle;
  line += friendlyName;
  return line;
}

std::string RendererNetworkFolderUrl(std::string_view location) {
  if (location.size() < kHttpPrefix.size()) return {};
  for (size_t i = 0; i < kHttpPrefix.size(); ++i) {
    char c = location[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kHttpPrefix[i]) return {};
  }
  std::string_view rest = location.substr(kHttpPrefix.size());
  std::string_view host;
  if (!rest.empty() && rest.front() == '[') {
    size_t close = rest.find(']');
    if (close == std::string_view::npos || close == 1) return {};
    for (char c : rest.substr(1, close - 1)) {
      if (!IsIpv6LiteralChar(c)) return {};
    }
    host = rest.substr(0, close + 1);
    rest = rest.substr(close + 1);
  } else {
    size_t end = 0;
    while (end < rest.size() && IsHostNameChar(rest[end])) ++end;
    host = rest.substr(0, end);
    rest = rest.substr(end);
  }
  // The host must end the authority: a port, a path or the end follows, never "@" or
  // anything else that would change what the URL names.
  if (host.empty() || (!rest.empty() && rest.front() != ':' && rest.front() != '/')) return {};
  std::string url = "smb://";
  url += host;
  url += '/';
  return url;
}

}  // namespace controlpoint
