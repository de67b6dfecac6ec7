// The pieces of an "http://" address that the download helpers need, the resolution of a
// redirect's Location against the address that answered, and the Location probe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct HttpUrl {
  std::string host;  // name or address; an IPv6 address keeps its brackets
  uint16_t port = 80;
  std::string hostHeader;  // the Host header value: host, with ":port" unless it is 80
  std::string target;      // path and query, never empty, without the fragment
  // The address rebuilt from the pieces; what the HTTP client is given.
  std::string Normalized() const;
};

// Splits an absolute "http://" address (scheme in any case). False for other schemes,
// user information, a missing host, a bad port or control characters anywhere. Blanks
// and bytes outside ASCII in the path are percent-encoded.
bool ParseHttpUrl(std::string_view url, HttpUrl* out);

// The absolute address a Location value names, relative to `base`: absolute "http://"
// values, "//host/path", "/path" and "path" relative to the base's directory. False for
// other schemes and for values that do not parse.
bool ResolveLocation(const HttpUrl& base, std::string_view location, std::string* out);

// Finds the Location header in a response head (name in any case, blanks around the
// value removed). False when there is none or it is empty.
bool FindLocationHeader(std::string_view head, std::string* value);

// Asks `url` once more with a plain GET of its own and reads only the response head (at
// most kFetchHeadMax bytes, within kFetchTimeoutSeconds), for its Location header.
// The HTTP client library answers the status of a redirect but keeps its headers to
// itself, so this is how the target of a redirect is learnt. False when the head cannot
// be read or holds no Location.
bool ProbeLocation(const HttpUrl& url, std::string* location);
