// The HTTP packet of the device stack: a request or response head, its headers in
// arrival order and a body, with the parser of a header block and the wire form.
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
  void* Tag = nullptr;  // the owner's tag; never touched here
};

using FLibHttpPacketPtr = std::unique_ptr<FLibHttpPacket>;

// An empty request packet of version "1.0".
FLibHttpPacketPtr FLibHttp_NewPacket();

// A deep copy (headers and body included; the tag is copied as a value).
FLibHttpPacketPtr FLibHttp_CopyPacket(const FLibHttpPacket& packet);

// Parses a header block: the start line and the header lines, with or without the final
// CR LF, without the blank line that ends it. Returns null for a malformed block: a bad
// start line, a status code other than three digits from 100 to 999, a header line
// without ":", an empty or blank-containing header name, a continuation line with no
// header before it, or a bare CR, LF or NUL byte anywhere. Reads only the bytes given;
// the packet holds copies. Continuation lines (starting with a space or tab) are appended
// to the previous value without the line break and that one leading blank; values are
// trimmed of spaces and tabs. The body is not touched: the caller sets it.
FLibHttpPacketPtr FLibHttp_ParseHeader(std::string_view block);
FLibHttpPacketPtr FLibHttp_ParseHeader(const char* buffer, size_t offset, size_t length);

// The wire form: start line, headers ("Name: Value", values longer than
// upnp_limits::kHttpHeaderFoldWidth folded into pieces joined by "\r\n "), the blank line
// and the body. Any CR, LF or NUL byte inside a field is written as a space, so a field
// set directly can never start a line of its own.
std::string FLibHttp_Serialize(const FLibHttpPacket& packet);

// The head only (everything FLibHttp_Serialize writes before the body).
std::string FLibHttp_SerializeHead(const FLibHttpPacket& packet);

// Makes the packet a request. Method and target must be non-empty and free of blanks,
// CR, LF and NUL; returns 0, or -1 and leaves the packet unchanged.
int FLibHttp_SetRequestLine(FLibHttpPacket& packet, std::string_view method,
                            std::string_view target);

// Makes the packet a response. The code must be 100..999 and the reason free of CR, LF
// and NUL; returns 0, or -1 and leaves the packet unchanged.
int FLibHttp_SetStatusLine(FLibHttpPacket& packet, int code, std::string_view reason);

// Sets the version ("1.1"). Must be non-empty and free of blanks, CR, LF and NUL; 0 or -1.
int FLibHttp_SetVersion(FLibHttpPacket& packet, std::string_view version);

// Appends a header (copies both). The name must be non-empty and free of blanks, ":",
// CR, LF and NUL; the value free of CR, LF and NUL. Returns 0, or -1 and adds nothing.
int FLibHttp_AddHeader(FLibHttpPacket& packet, std::string_view name, std::string_view value);

// A copy of the value of the first header whose name equals `name` (exact length, ASCII
// case ignored), with leading spaces and tabs skipped; nullopt when there is none.
std::optional<std::string> FLibHttp_HeaderValue(const FLibHttpPacket& packet,
                                                std::string_view name);

// The first header with that name (as above), or null. For in-place edits.
FLibHttpHeader* FLibHttp_FindHeader(FLibHttpPacket& packet, std::string_view name);
const FLibHttpHeader* FLibHttp_FindHeader(const FLibHttpPacket& packet, std::string_view name);

// True when a header with that name exists and its value (leading and trailing blanks
// ignored) equals `value` ignoring ASCII case: "Connection: close".
bool FLibHttp_HeaderEquals(const FLibHttpPacket& packet, std::string_view name,
                           std::string_view value);

// Removes every header with that name; returns how many were removed.
size_t FLibHttp_RemoveHeaders(FLibHttpPacket& packet, std::string_view name);
