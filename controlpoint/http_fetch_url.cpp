#include "controlpoint/http_fetch_url.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "controlpoint/http_fetch_limits.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "platform/unique_fd.h"

namespace {

constexpr std::string_view kScheme = "http://";

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

bool HasSchemePrefix(std::string_view text) {
  return text.size() >= kScheme.size() &&
         platform::AsciiEqualsNoCase(text.substr(0, kScheme.size()), kScheme);
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool ParsePort(std::string_view text, uint16_t* port) {
  if (text.empty()) return true;  // "host:" keeps the default
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

// Splits "host", "host:port", "[v6]" or "[v6]:port".
bool ParseAuthority(std::string_view authority, HttpUrl* out) {
  std::string_view portText;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos || close < 2) return false;
    for (char c : authority.substr(1, close - 1)) {
      bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!hex && c != ':' && c != '.') return false;
    }
    out->host = std::string(authority.substr(0, close + 1));
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      portText = rest.substr(1);
    }
  } else {
    size_t colon = authority.find(':');
    out->host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    if (out->host.empty()) return false;
    for (char c : out->host) {
      if (!IsHostChar(c)) return false;
    }
  }
  out->port = 80;
  if (!ParsePort(portText, &out->port)) return false;
  out->hostHeader = out->host;
  if (out->port != 80) out->hostHeader += ":" + std::to_string(out->port);
  return true;
}

// The request target with blanks and bytes outside ASCII percent-encoded; false for
// control characters, which could end the request line early.
bool EncodeTarget(std::string_view raw, std::string* target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  target->clear();
  if (raw.empty() || raw[0] != '/') target->push_back('/');
  for (char ch : raw) {
    auto c = static_cast<unsigned char>(ch);
    if (IsControl(c)) return false;
    if (c == ' ' || c >= 0x80) {
      target->push_back('%');
      target->push_back(kHex[c >> 4]);
      target->push_back(kHex[c & 15]);
    } else {
      target->push_back(ch);
    }
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Connects within what is left of `deadlineMs`; an invalid descriptor on failure.
platform::UniqueFd ConnectBefore(const HttpUrl& url, uint64_t deadlineMs) {
  std::string host = url.host;
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(url.port).c_str(), &hints, &found) != 0) {
    return {};
  }
  platform::UniqueFd fd;
  for (addrinfo* a = found; a != nullptr && !fd.Valid(); a = a->ai_next) {
    platform::UniqueFd attempt(
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!attempt.Valid()) continue;
    if (::connect(attempt.Get(), a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      continue;
    }
    uint64_t now = platform::TickCountMs();
    if (now >= deadlineMs) break;
    pollfd p{attempt.Get(), POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(deadlineMs - now)) != 1) continue;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(attempt.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      continue;
    }
    fd = std::move(attempt);
  }
  ::freeaddrinfo(found);
  return fd;
}

// Waits for `events` on `fd` until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, uint64_t deadlineMs) {
  for (;;) {
    uint64_t now = platform::TickCountMs();
    if (now >= deadlineMs) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(deadlineMs - now));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool SendAll(int fd, std::string_view data, uint64_t deadlineMs) {
  while (!data.empty()) {
    if (!WaitFor(fd, POLLOUT, deadlineMs)) return false;
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads until the blank line that ends the head, the cap, the peer's close or the
// deadline; what arrived is in *head.
void ReadHead(int fd, uint64_t deadlineMs, std::string* head) {
  char buffer[2048];
  while (head->size() < kFetchHeadMax && head->find("\r\n\r\n") == std::string::npos &&
         head->find("\n\n") == std::string::npos) {
    if (!WaitFor(fd, POLLIN, deadlineMs)) return;
    size_t want = std::min(sizeof buffer, kFetchHeadMax - head->size());
    ssize_t n = ::recv(fd, buffer, want, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return;
    head->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

std::string HttpUrl::Normalized() const { return std::string(kScheme) + hostHeader + target; }

bool ParseHttpUrl(std::string_view url, HttpUrl* out) {
  if (!HasSchemePrefix(url)) return false;
  std::string_view rest = url.substr(kScheme.size());
  size_t hash = rest.find('#');
  if (hash != std::string_view::npos) rest = rest.substr(0, hash);
  size_t end = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, end);
  if (authority.find('@') != std::string_view::npos) return false;
  HttpUrl parsed;
  if (!ParseAuthority(authority, &parsed)) return false;
  std::string_view path = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  if (!EncodeTarget(path, &parsed.target)) return false;
  *out = std::move(parsed);
  return true;
}

bool ResolveLocation(const HttpUrl& base, std::string_view location, std::string* out) {
  location = Trim(location);
  if (location.empty()) return false;
  std::string absolute;
  if (HasSchemePrefix(location)) {
    absolute = std::string(location);
  } else if (location.substr(0, 2) == "//") {
    absolute = "http:" + std::string(location);
  } else if (location.find("://") != std::string_view::npos) {
    return false;  // another scheme; this client speaks plain HTTP only
  } else if (location[0] == '/') {
    absolute = std::string(kScheme) + base.hostHeader + std::string(location);
  } else {
    std::string_view path = base.target;
    path = path.substr(0, path.find('?'));
    path = path.substr(0, path.rfind('/') + 1);
    absolute = std::string(kScheme) + base.hostHeader + std::string(path) + std::string(location);
  }
  HttpUrl parsed;
  if (!ParseHttpUrl(absolute, &parsed)) return false;
  *out = parsed.Normalized();
  return true;
}

bool FindLocationHeader(std::string_view head, std::string* value) {
  size_t lineStart = head.find('\n');  // the status line is not a header
  while (lineStart != std::string_view::npos) {
    ++lineStart;
    size_t lineEnd = head.find('\n', lineStart);
    // A line the cap or the peer cut short may hold half an address.
    if (lineEnd == std::string_view::npos) return false;
    std::string_view line = head.substr(lineStart, lineEnd - lineStart);
    if (Trim(line).empty()) return false;  // end of the head
    size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        platform::AsciiEqualsNoCase(line.substr(0, colon), "location")) {
      std::string_view v = Trim(line.substr(colon + 1));
      if (v.empty()) return false;
      *value = std::string(v);
      return true;
    }
    lineStart = lineEnd;
  }
  return false;
}

bool ProbeLocation(const HttpUrl& url, std::string* location) {
  uint64_t deadline = platform::TickCountMs() + kFetchTimeoutSeconds * 1000ULL;
  platform::UniqueFd fd = ConnectBefore(url, deadline);
  if (!fd.Valid()) return false;
  std::string request = "GET " + url.target + " HTTP/1.1\r\nHost: " + url.hostHeader +
                        "\r\nConnection: close\r\nAccept: */*\r\n\r\n";
  if (!SendAll(fd.Get(), request, deadline)) return false;
  std::string head;
  ReadHead(fd.Get(), deadline, &head);
  return FindLocationHeader(head, location);
}
