// The HTTP packet of the device stack: a request or response head, its headers in
// arrival order and a body, with the parser of a header block.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One header. The name keeps the case in which it arrived or was added; look-ups ignore
// the case of ASCII letters.
struct FLibHttpHeader {
  std::string Name;
  std::string Value;
};

// A request when StatusCode is -1 (Method, Target), otherwise a response (StatusCode,
// Reason). Version is the text after "HTTP/", "1.0" in a new packet. The packet owns all
// of its strings.
struct FLibHttpPacket {
  std::string Method;
  std::string Target;
  int StatusCode = -1;
  std::string Reason;
  std::string Version = "1.0";
  std::string Body;
  std::vector<FLibHttpHeader> Headers;
};

using FLibHttpPacketPtr = std::unique_ptr<FLibHttpPacket>;

// An empty request packet of version "1.0".
FLibHttpPacketPtr FLibHttp_NewPacket();

// Parses a header block: the start line and the header lines, with or without the final
// CR LF, without the blank line that ends it. Returns null for a malformed block: a bad
// start line, a status code other than three digits from 100 to 999, a header line
// without ":", an empty or blank-containing header name, a continuation line with no
// header before it, or a bare CR, LF or NUL byte anywhere. Reads only the bytes given;
// the packet holds copies. Continuation lines (starting with a space or tab) are appended
// to the previous value without the line break and that one leading blank; values are
// trimmed of spaces and tabs. The body is not touched: the caller sets it.
FLibHttpPacketPtr FLibHttp_ParseHeader(std::string_view block);

// A copy of the value of the first header whose name equals `name` (exact length, ASCII
// case ignored), with leading spaces and tabs skipped; nullopt when there is none.
std::optional<std::string> FLibHttp_HeaderValue(const FLibHttpPacket& packet,
                                                std::string_view name);

// The first header with that name (as above), or null.
const FLibHttpHeader* FLibHttp_FindHeader(const FLibHttpPacket& packet, std::string_view name);

// True when a header with that name exists and its value (leading and trailing blanks
// ignored) equals `value` ignoring ASCII case: "Connection: close".
bool FLibHttp_HeaderEquals(const FLibHttpPacket& packet, std::string_view name,
                           std::string_view value);
