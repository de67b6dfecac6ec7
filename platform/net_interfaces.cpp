#include "platform/net_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace platform {

std::vector<NetInterface> ListIpv4Interfaces() {
  std::vector<NetInterface> result;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
      if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
      if ((it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & IFF_LOOPBACK) != 0) continue;
      NetInterface entry;
      entry.Address = ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
      if (it->ifa_netmask != nullptr && it->ifa_netmask->sa_family == AF_INET)
        entry.Netmask =
            ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr);
      result.push_back(entry);
    }
    ::freeifaddrs(list);
  }
  result.push_back({kLoopbackAddress, kLoopbackNetmask});
  return result;
}

bool AddressChangeWatch::Open() {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!fd.Valid()) return false;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_IPV4_IFADDR;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  fd_ = std::move(fd);
  return true;
}

bool AddressChangeWatch::Drain() {
  if (!fd_.Valid()) return false;
  bool changed = false;
  alignas(nlmsghdr) char buffer[8192];
  for (;;) {
    ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
    if (n < 0 && errno == ENOBUFS) {
      // The kernel dropped messages: something changed, we cannot tell what.
      changed = true;
      continue;
    }
    if (n <= 0) break;
    // A signed count, as the netlink macros expect: the last aligned step may pass zero.
    int left = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_DELADDR) changed = true;
    }
  }
  return changed;
}

}  // namespace platform
