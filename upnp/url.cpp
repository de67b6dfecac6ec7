#include "upnp/url.h"

#include "upnp/number.h"

namespace {

// "host", "host:port", "[v6]" or "[v6]:port".
bool SplitAuthority(std::string_view authority, std::string_view* host, uint16_t* port) {
  std::string_view portText;
  bool hasPort = false;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    *host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      portText = after.substr(1);
      hasPort = true;
    }
  } else {
    const size_t colon = authority.find(':');
    *host = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
      portText = authority.substr(colon + 1);
      hasPort = true;
    }
  }
  if (host->empty()) return false;
  *port = 80;
  if (!hasPort) return true;
  // Digits only: the decimal parser alone would accept a sign or leading blanks.
  if (portText.empty() || portText.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  uint32_t value;
  if (FLibText_ToULong(portText, &value) != 0 || value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int FLibUrl_Split(std::string_view uri, std::string* ip, uint16_t* port, std::string* path) {
  const size_t scheme = uri.find("://");
  if (scheme == std::string_view::npos) return -1;
  const std::string_view rest = uri.substr(scheme + 3);
  const size_t slash = rest.find('/');
  std::string_view host;
  uint16_t portValue;
  if (!SplitAuthority(rest.substr(0, slash), &host, &portValue)) return -1;
  ip->assign(host);
  *port = portValue;
  if (slash == std::string_view::npos) {
    path->assign("/");
  } else {
    path->assign(rest.substr(slash));
  }
  return 0;
}
