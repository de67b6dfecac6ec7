#include "streamserver/stream_request.h"

#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "streamserver/stream_limits.h"
#include "streamserver/stream_text.h"
#include "upnp/escape.h"

namespace {

using stream_text::IsBlank;
using stream_text::ParseDecimal;
using stream_text::TrimBlanks;

struct MethodName {
  const char* Text;
  int Method;
};

// Compared case-sensitively, as the protocol asks.
constexpr MethodName kMethods[] = {
    {"GET", kStreamMethodGet},       {"PUT", kStreamMethodPut},   {"OPTIONS", kStreamMethodOptions},
    {"DELETE", kStreamMethodDelete}, {"POST", kStreamMethodPost}, {"TRACE", kStreamMethodTrace},
    {"HEAD", kStreamMethodHead},
};

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  return tokens;
}

// One line of the head without its LF and an optional CR before it.
std::string_view LineText(std::string_view input, size_t start, size_t lf) {
  std::string_view line = input.substr(start, lf - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

int Fail(StreamRequest* request) {
  request->Status = 400;
  return kStreamReadError;
}

// "HTTP/<major>.<minor>" with digits only on both sides.
bool ParseVersion(std::string_view token, int* major, int* minor) {
  constexpr std::string_view kPrefix = "HTTP/";
  if (token.substr(0, kPrefix.size()) != kPrefix) return false;
  token.remove_prefix(kPrefix.size());
  size_t dot = token.find('.');
  if (dot == std::string_view::npos) return false;
  int32_t a = 0, b = 0;
  if (!stream_text::IsDigits(token.substr(0, dot)) || !stream_text::IsDigits(token.substr(dot + 1)))
    return false;
  if (FLibText_ToLong(token.substr(0, dot), &a) != 0) return false;
  if (FLibText_ToLong(token.substr(dot + 1), &b) != 0) return false;
  *major = a;
  *minor = b;
  return true;
}

// The target is cut at "?" first and each side unescaped after, so an escaped "?" stays in
// the path. A NUL byte in the path could only cut a file name short: refused.
bool SetTarget(StreamRequest* request, std::string_view target) {
  size_t question = target.find('?');
  request->Uri = std::string(target.substr(0, question));
  request->Query =
      question == std::string_view::npos ? "" : std::string(target.substr(question + 1));
  FLibUrl_UnescapeInPlace(&request->Uri);
  FLibUrl_UnescapeInPlace(&request->Query);
  return request->Uri.find('\0') == std::string::npos;
}

bool ParseRequestLine(StreamRequest* request, std::string_view line) {
  std::vector<std::string_view> tokens = Tokens(line);
  if (tokens.size() < 2 || tokens.size() > 3) return false;
  request->RequestLine = std::string(line);
  request->MethodText = std::string(tokens[0]);
  request->Method = kStreamMethodUnknown;
  for (const MethodName& m : kMethods) {
    if (tokens[0] == m.Text) request->Method = m.Method;
  }
  if (!SetTarget(request, tokens[1])) return false;
  if (tokens.size() == 2) {
    request->VersionMajor = 0;
    request->VersionMinor = 9;
    return true;
  }
  return ParseVersion(tokens[2], &request->VersionMajor, &request->VersionMinor);
}

bool IsTokenChar(char c) {
  if (c <= 0x20 || c >= 0x7F) return false;
  return std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

bool ParseCookies(std::string_view value, StreamHeaderList* cookies) {
  size_t start = 0;
  for (;;) {
    size_t end = value.find(';', start);
    std::string_view piece = TrimBlanks(value.substr(start, end - start));
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    cookies->emplace_back(std::string(TrimBlanks(piece.substr(0, eq))),
                          std::string(TrimBlanks(piece.substr(eq + 1))));
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// Interprets the headers whose values the server itself uses; every header is kept.
bool ParseHeaderLine(StreamRequest* request, std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    if (!IsTokenChar(line[i])) return false;
  }
  std::string name = platform::AsciiLower(line.substr(0, colon));
  std::string value(TrimBlanks(line.substr(colon + 1)));
  if (name == "connection") {
    request->KeepAlive = platform::AsciiEqualsNoCase(value, "keep-alive");
  } else if (name == "host") {
    request->Host = value;
  } else if (name == "from") {
    request->From = value;
  } else if (name == "user-agent") {
    request->UserAgent = value;
  } else if (name == "referer") {
    request->Referer = value;
  } else if (name == "range") {
    if (!StreamRequest_ParseRanges(value, &request->Ranges)) return false;
  } else if (name == "cookies") {
    if (!ParseCookies(value, &request->Cookies)) return false;
  } else if (name == "content-length") {
    int64_t length = 0;
    if (!ParseDecimal(value, &length)) return false;
    request->HasBody = request->HasBody || length > 0;
  } else if (name == "transfer-encoding") {
    request->HasBody = true;
  }
  request->Headers.emplace_back(std::move(name), std::move(value));
  return true;
}

int ParseHead(StreamRequest* request, std::string_view head) {
  if (head.find('\0') != std::string_view::npos) return Fail(request);
  bool sawRequestLine = false;
  size_t start = 0;
  while (start < head.size()) {
    size_t lf = head.find('\n', start);
    std::string_view line = LineText(head, start, lf);
    start = lf + 1;
    if (!sawRequestLine) {
      if (line.empty()) continue;
      if (!ParseRequestLine(request, line)) return Fail(request);
      sawRequestLine = true;
      continue;
    }
    if (line.empty()) break;
    if (!ParseHeaderLine(request, line)) return Fail(request);
  }
  request->Date = time(nullptr);
  return kStreamReadDone;
}

}  // namespace

int StreamRequest_Read(StreamRequest* request, StreamHeadScanner* scanner, std::string_view input,
                       size_t* consumed) {
  *consumed = 0;
  for (;;) {
    size_t lf = input.find('\n', scanner->Scanned);
    if (lf == std::string_view::npos) {
      if (input.size() > stream_limits::kMaxHeadBytes) return Fail(request);
      return kStreamReadNeedMore;
    }
    std::string_view line = LineText(input, scanner->Scanned, lf);
    scanner->Scanned = lf + 1;
    if (scanner->Scanned > stream_limits::kMaxHeadBytes) return Fail(request);
    if (++scanner->Lines > stream_limits::kMaxHeadLines) return Fail(request);
    bool headEnds = false;
    if (!scanner->SawRequestLine) {
      if (line.empty()) continue;
      scanner->SawRequestLine = true;
      // Without a version the request is HTTP/0.9: no header lines follow.
      size_t tokens = Tokens(line).size();
      if (tokens < 2 || tokens > 3) return Fail(request);
      headEnds = tokens == 2;
    } else {
      headEnds = line.empty();
    }
    if (!headEnds) continue;
    *consumed = scanner->Scanned;
    return ParseHead(request, input.substr(0, scanner->Scanned));
  }
}

bool StreamRequest_ParseRanges(std::string_view value, std::vector<StreamRange>* ranges) {
  constexpr std::string_view kUnit = "bytes=";
  if (value.substr(0, kUnit.size()) != kUnit) return true;
  value.remove_prefix(kUnit.size());
  size_t start = 0;
  for (;;) {
    size_t end = value.find(',', start);
    std::string_view piece = TrimBlanks(value.substr(start, end - start));
    size_t dash = piece.find('-');
    if (dash == std::string_view::npos) return false;
    std::string_view first = TrimBlanks(piece.substr(0, dash));
    std::string_view last = TrimBlanks(piece.substr(dash + 1));
    StreamRange range;
    range.HasFirst = !first.empty();
    range.HasLast = !last.empty();
    if (!range.HasFirst && !range.HasLast) return false;
    if (range.HasFirst && !ParseDecimal(first, &range.First)) return false;
    if (range.HasLast && !ParseDecimal(last, &range.Last)) return false;
    ranges->push_back(range);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool StreamRequest_ValidateUri(StreamRequest* request) {
  std::string& uri = request->Uri;
  constexpr std::string_view kScheme = "http://";
  if (uri.size() >= kScheme.size() &&
      platform::AsciiEqualsNoCase(std::string_view(uri).substr(0, kScheme.size()), kScheme)) {
    std::string_view rest = std::string_view(uri).substr(kScheme.size());
    size_t slash = rest.find('/');
    std::string_view hostPort = rest.substr(0, slash);
    // An IPv6 literal carries colons of its own; the port colon follows its bracket.
    size_t searchFrom = 0;
    if (!hostPort.empty() && hostPort.front() == '[') {
      size_t close = hostPort.find(']');
      if (close == std::string_view::npos) return false;
      searchFrom = close;
    }
    size_t colon = hostPort.find(':', searchFrom);
    std::string_view host = hostPort.substr(0, colon);
    if (host.empty()) return false;
    if (colon != std::string_view::npos) {
      int64_t port = 0;
      if (!ParseDecimal(hostPort.substr(colon + 1), &port) || port < 1 || port > 65535) {
        return false;
      }
    }
    request->Host = std::string(hostPort);
    uri = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  }
  if (uri == "*") return request->Method == kStreamMethodOptions;
  if (uri.empty() || uri.front() != '/') return false;
  return uri.find('*') == std::string::npos;
}

std::string StreamRequest_PeerText(const StreamRequest& request) {
  const uint32_t a = request.PeerAddress;
  char text[20];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (a >> 24) & 255, (a >> 16) & 255, (a >> 8) & 255,
                a & 255);
  return text;
}

const std::string* StreamRequest_HeaderValue(const StreamRequest& request, std::string_view name) {
  for (const auto& [key, value] : request.Headers) {
    if (key == name) return &value;
  }
  return nullptr;
}
