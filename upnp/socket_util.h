// Small socket helpers of the device stack: an owning descriptor, IPv4 address text and
// the random ports of listening and outgoing sockets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// Owns one file descriptor; closes it when destroyed or reset. Move-only.
class FLibFd {
 public:
  FLibFd() = default;
  explicit FLibFd(int fd) : fd_(fd) {}
  FLibFd(const FLibFd&) = delete;
  FLibFd& operator=(const FLibFd&) = delete;
  FLibFd(FLibFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FLibFd& operator=(FLibFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~FLibFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A pseudo-random number 0..0x7FFFFFFF; thread-safe, seeded once per process.
uint32_t FLibRandom();

// A random port in kRandomPortBase .. kRandomPortBase + kRandomPortSpan - 1.
uint16_t FLibRandomPort();

// IPv4 addresses travel as host-order 32-bit numbers (127.0.0.1 is 0x7F000001).
std::string FLibIpv4ToText(uint32_t address);
// Dotted-quad text to an address: exactly four decimal parts 0..255, nothing else.
bool FLibIpv4FromText(std::string_view text, uint32_t* address);
