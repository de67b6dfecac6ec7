// Text forms of the renderer control point: addresses read from discovery messages and
// start options, the renderer page's list lines and the network folder URL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace controlpoint {

// A dotted quad "a.b.c.d" (each part 0 to 255, one to three digits, nothing else) as
// (a << 24) | (b << 16) | (c << 8) | d.
std::optional<uint32_t> ParseDottedQuad(std::string_view text);

// The IPv4 address at the start of a description URL "http://a.b.c.d..." (what follows
// the fourth part is not looked at), or nothing when the URL does not start that way.
std::optional<uint32_t> LocationIpv4(std::string_view location);

// One line of the renderer page: the location up to and including its last "/", the
// fixed middle text, then the friendly name.
std::string RendererListLine(std::string_view location, std::string_view friendlyName);

// "smb://HOST/" for a description URL "http://HOST:port/..." (or a list line, which
// starts with one), so the desktop opens the renderer's shared folders. Empty when the
// text holds no plain host name or address: nothing a peer announces may smuggle user
// names, paths or other URL parts into what the desktop opens.
std::string RendererNetworkFolderUrl(std::string_view location);

}  // namespace controlpoint
