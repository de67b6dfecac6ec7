// Absolute "scheme://host[:port]/path" addresses such as GENA callback URLs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Splits `uri` at "://", then at the first "/" after the host and at the ":" before the
// port. The port defaults to 80; the path keeps its leading "/" and is "/" when absent. A
// bracketed IPv6 literal ("[::1]:8080") is returned without its brackets.
// Returns 0, or -1 (outputs unchanged) when there is no "://", the host is empty, or the
// port is not a decimal number in 1..65535.
int FLibUrl_Split(std::string_view uri, std::string* ip, uint16_t* port, std::string* path);
