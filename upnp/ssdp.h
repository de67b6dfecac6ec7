// SSDP messages of the device: the announcements, the byebyes, the parsing of a search
// and the replies it earns. Everything here is text in and text out; the sockets and
// timers that carry it live in the device module (lattice.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/net_interfaces.h"

inline constexpr uint32_t kSsdpGroupAddress = 0xEFFFFFFA;  // 239.255.255.250
inline constexpr uint16_t kSsdpPort = 1900;
inline constexpr uint16_t kSsdpAlternatePort = 51900;

// Who the device is, as far as its SSDP messages tell.
struct UpnpSsdpIdentity {
  std::string Identifier;  // the UDN without "uuid:"
  int MaxAge = 1800;       // the notify cycle in seconds
  uint16_t WebPort = 0;    // of every LOCATION
};

// The five notification types in announcement order; steps 1..5 of a round.
inline constexpr int kSsdpFirstStep = 1;
inline constexpr int kSsdpLastStep = 5;

// "NOTIFY * HTTP/1.1 ... NTS: ssdp:alive" for one step, sent from the interface at
// `interfaceAddress` to the group port `destinationPort`. An empty text for a step out
// of 1..5.
std::string UpnpSsdp_AliveMessage(const UpnpSsdpIdentity& identity, int step,
                                  uint32_t interfaceAddress, uint16_t destinationPort);

// "NOTIFY * HTTP/1.1 ... NTS: ssdp:byebye" for one step and group port.
std::string UpnpSsdp_ByebyeMessage(const UpnpSsdpIdentity& identity, int step,
                                   uint16_t destinationPort);

// A search worth answering: its target and its MX, capped at 10.
struct UpnpSsdpSearch {
  std::string Target;
  uint32_t Mx = 0;
};

// Reads one datagram. True only for "M-SEARCH *... HTTP/1.1" with MAN exactly
// "\"ssdp:discover\"", a numeric MX and an ST; everything else is dropped silently.
bool UpnpSsdp_ParseSearch(std::string_view datagram, UpnpSsdpSearch* search);

// The replies for `target`, each naming `interfaceAddress` in its LOCATION; empty when
// the target matches nothing of this device.
std::vector<std::string> UpnpSsdp_SearchReplies(const UpnpSsdpIdentity& identity,
                                                std::string_view target, uint32_t interfaceAddress);

// The interfaces whose subnet holds `requester`, in list order.
std::vector<uint32_t> UpnpSsdp_ReplyInterfaces(const std::vector<platform::NetInterface>& list,
                                               uint32_t requester);

// The delay of a reply, in milliseconds: a whole number of seconds below MX (0 for MX 0).
uint32_t UpnpSsdp_ReplyDelayMs(uint32_t mx, uint32_t random);

// Seconds until the next announcement round: a quarter of the cycle plus a random part
// of the next quarter (450 to 899 s for the 1800-second cycle); at least 1.
uint32_t UpnpSsdp_NextRoundSeconds(uint32_t cycleSeconds, uint32_t random);

// Keeps one requester from making the device send more than a few answers per second,
// so that a forged source address cannot turn the device into an amplifier.
class UpnpSsdpRateLimiter {
 public:
  // True when a search from `requester` at `nowMs` may be answered; counts it.
  bool Admit(uint32_t requester, uint64_t nowMs);

 private:
  struct Window {
    uint64_t StartMs = 0;
    uint32_t Count = 0;
  };
  std::unordered_map<uint32_t, Window> windows_;
};
