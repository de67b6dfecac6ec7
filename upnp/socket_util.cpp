#include "upnp/socket_util.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <random>

#include "upnp/limits.h"

void FLibFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

uint32_t FLibRandom() {
  static std::mutex mutex;
  static std::minstd_rand engine{std::random_device{}()};
  std::lock_guard lock(mutex);
  return static_cast<uint32_t>(engine()) & 0x7FFFFFFFu;
}

uint16_t FLibRandomPort() {
  return static_cast<uint16_t>(upnp_limits::kRandomPortBase +
                               (FLibRandom() & 0xFFFFu) % upnp_limits::kRandomPortSpan);
}

std::string FLibIpv4ToText(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                (address >> 8) & 0xFFu, address & 0xFFu);
  return text;
}

bool FLibIpv4FromText(std::string_view text, uint32_t* address) {
  uint32_t result = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    uint32_t value = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    result = (result << 8) | value;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  *address = result;
  return true;
}
