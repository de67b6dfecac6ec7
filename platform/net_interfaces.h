// The IPv4 interfaces of this host and a watch on their addresses. The device stack
// announces itself on every interface and answers searches through the one on the
// requester's subnet, so it needs each address with its netmask, and it must hear when
// addresses come and go.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

// Addresses travel as host-order numbers (127.0.0.1 is 0x7F000001).
struct NetInterface {
  uint32_t Address = 0;
  uint32_t Netmask = 0;
};

inline constexpr uint32_t kLoopbackAddress = 0x7F000001;
inline constexpr uint32_t kLoopbackNetmask = 0xFF000000;

// The IPv4 addresses of the interfaces that are up, in the order the system reports
// them, loopback interfaces left out, then 127.0.0.1/255.0.0.0. When the query fails or
// finds nothing else, 127.0.0.1 alone.
std::vector<NetInterface> ListIpv4Interfaces();

// A netlink socket subscribed to IPv4 address changes. Its descriptor becomes readable
// when an address is added or removed; Drain reads what is queued.
class AddressChangeWatch {
 public:
  // Opens the socket; false (and no descriptor) when netlink is unavailable.
  bool Open();
  int Fd() const { return fd_.Get(); }
  // Reads every queued message without blocking; true when any of them reported an
  // address added or removed.
  bool Drain();

 private:
  UniqueFd fd_;
};

}  // namespace platform
