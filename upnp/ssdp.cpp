#include "upnp/ssdp.h"

#include <cstdio>

#include "upnp/device_format.h"
#include "upnp/http_packet.h"
#include "upnp/limits.h"
#include "upnp/number.h"
#include "upnp/socket_util.h"

namespace {

constexpr std::string_view kRootDevice = "upnp:rootdevice";
constexpr std::string_view kAllTargets = "ssdp:all";
constexpr std::string_view kDeviceType = "urn:schemas-upnp-org:device:MediaServer:1";
constexpr std::string_view kConnectionManagerType =
    "urn:schemas-upnp-org:service:ConnectionManager:1";
constexpr std::string_view kContentDirectoryType =
    "urn:schemas-upnp-org:service:ContentDirectory:1";
constexpr const char* kServerToken = "WINDOWS";

// The USN suffix and the NT/ST text of a step; step 2 is the device's own UDN.
struct StepType {
  std::string UsnSuffix;
  std::string Type;
};

StepType TypeOfStep(const UpnpSsdpIdentity& identity, int step) {
  switch (step) {
    case 1:
      return {"::" + std::string(kRootDevice), std::string(kRootDevice)};
    case 2:
      return {"", "uuid:" + identity.Identifier};
    case 3:
      return {"::" + std::string(kDeviceType), std::string(kDeviceType)};
    case 4:
      return {"::" + std::string(kConnectionManagerType), std::string(kConnectionManagerType)};
    case 5:
      return {"::" + std::string(kContentDirectoryType), std::string(kContentDirectoryType)};
    default:
      return {};
  }
}

std::string Reply(const UpnpSsdpIdentity& identity, uint32_t interfaceAddress,
                  const std::string& usnSuffix, std::string_view st) {
  std::string address = FLibIpv4ToText(interfaceAddress);
  std::string target(st);
  return UpnpFormat(
      "HTTP/1.1 200 OK\r\nLOCATION: http://%s:%d/\r\nEXT:\r\nSERVER: %s, UPnP/1.0, Ferrule "
      "Lattice/1.0.1922\r\nUSN: uuid:%s%s\r\nCACHE-CONTROL: max-age=%d\r\nST: %s%s\r\n\r\n",
      address.c_str(), identity.WebPort, kServerToken, identity.Identifier.c_str(),
      usnSuffix.c_str(), identity.MaxAge, target.c_str(), "");
}

// A versioned type matches when the requested version, read as a decimal number, is
// below 2: this device speaks version 1 of each.
bool MatchesVersion(std::string_view target, std::string_view versionedType) {
  std::string_view prefix = versionedType.substr(0, versionedType.size() - 1);
  if (target.size() <= prefix.size() || target.substr(0, prefix.size()) != prefix) return false;
  uint32_t version = 0;
  return FLibText_ToULong(target.substr(prefix.size()), &version) == 0 && version < 2;
}

}  // namespace

std::string UpnpSsdp_AliveMessage(const UpnpSsdpIdentity& identity, int step,
                                  uint32_t interfaceAddress, uint16_t destinationPort) {
  if (step < kSsdpFirstStep || step > kSsdpLastStep) return {};
  StepType type = TypeOfStep(identity, step);
  std::string address = FLibIpv4ToText(interfaceAddress);
  return UpnpFormat(
      "NOTIFY * HTTP/1.1\r\nLOCATION: http://%s:%d/\r\nHOST: 239.255.255.250:%d\r\nSERVER: %s, "
      "UPnP/1.0, Ferrule Lattice/1.0.1922\r\nNTS: ssdp:alive\r\nUSN: uuid:%s%s\r\nCACHE-CONTROL: "
      "max-age=%d\r\nNT: %s%s\r\n\r\n",
      address.c_str(), identity.WebPort, destinationPort, kServerToken, identity.Identifier.c_str(),
      type.UsnSuffix.c_str(), identity.MaxAge, type.Type.c_str(), "");
}

std::string UpnpSsdp_ByebyeMessage(const UpnpSsdpIdentity& identity, int step,
                                   uint16_t destinationPort) {
  if (step < kSsdpFirstStep || step > kSsdpLastStep) return {};
  StepType type = TypeOfStep(identity, step);
  return UpnpFormat(
      "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:%d\r\nNTS: ssdp:byebye\r\nUSN: "
      "uuid:%s%s\r\nNT: %s%s\r\nContent-Length: 0\r\n\r\n",
      destinationPort, identity.Identifier.c_str(), type.UsnSuffix.c_str(), type.Type.c_str(), "");
}

bool UpnpSsdp_ParseSearch(std::string_view datagram, UpnpSsdpSearch* search) {
  size_t end = datagram.find("\r\n\r\n");
  if (end != std::string_view::npos) datagram = datagram.substr(0, end);
  FLibHttpPacketPtr packet = FLibHttp_ParseHeader(datagram);
  if (!packet || packet->StatusCode != -1) return false;
  if (packet->Method != "M-SEARCH" || packet->Target.empty() || packet->Target[0] != '*' ||
      packet->Version != "1.1")
    return false;
  std::optional<std::string> man = FLibHttp_HeaderValue(*packet, "MAN");
  std::optional<std::string> mx = FLibHttp_HeaderValue(*packet, "MX");
  std::optional<std::string> st = FLibHttp_HeaderValue(*packet, "ST");
  if (!man || *man != "\"ssdp:discover\"" || !mx || !st) return false;
  uint32_t mxValue = 0;
  if (FLibText_ToULong(*mx, &mxValue) != 0) return false;
  search->Target = std::move(*st);
  search->Mx = mxValue > upnp_limits::kSsdpMaxMx ? upnp_limits::kSsdpMaxMx : mxValue;
  return true;
}

std::vector<std::string> UpnpSsdp_SearchReplies(const UpnpSsdpIdentity& identity,
                                                std::string_view target,
                                                uint32_t interfaceAddress) {
  std::vector<std::string> replies;
  std::string udn = "uuid:" + identity.Identifier;
  if (target == kRootDevice) {
    replies.push_back(Reply(identity, interfaceAddress, TypeOfStep(identity, 1).UsnSuffix, target));
  } else if (target == kAllTargets) {
    for (int step = kSsdpFirstStep; step <= kSsdpLastStep; ++step) {
      StepType type = TypeOfStep(identity, step);
      replies.push_back(Reply(identity, interfaceAddress, type.UsnSuffix, type.Type));
    }
  } else if (target == udn) {
    replies.push_back(Reply(identity, interfaceAddress, "", target));
  } else {
    for (int step = 3; step <= kSsdpLastStep; ++step) {
      StepType type = TypeOfStep(identity, step);
      if (MatchesVersion(target, type.Type)) {
        replies.push_back(Reply(identity, interfaceAddress, type.UsnSuffix, target));
        break;
      }
    }
  }
  return replies;
}

std::vector<uint32_t> UpnpSsdp_ReplyInterfaces(const std::vector<platform::NetInterface>& list,
                                               uint32_t requester) {
  std::vector<uint32_t> result;
  for (const platform::NetInterface& entry : list) {
    if ((requester & entry.Netmask) == (entry.Address & entry.Netmask))
      result.push_back(entry.Address);
  }
  return result;
}

uint32_t UpnpSsdp_ReplyDelayMs(uint32_t mx, uint32_t random) {
  if (mx == 0) return 0;
  return ((random & 0xFFFF) % mx) * 1000;
}

uint32_t UpnpSsdp_NextRoundSeconds(uint32_t cycleSeconds, uint32_t random) {
  uint32_t span = cycleSeconds / 2 - cycleSeconds / 4;
  uint32_t seconds = cycleSeconds / 4 + (span == 0 ? 0 : (random & 0xFFFF) % span);
  return seconds == 0 ? 1 : seconds;
}

bool UpnpSsdpRateLimiter::Admit(uint32_t requester, uint64_t nowMs) {
  if (windows_.size() >= upnp_limits::kSsdpRateTableMax && windows_.count(requester) == 0) {
    std::erase_if(windows_, [nowMs](const auto& entry) {
      return nowMs - entry.second.StartMs >= upnp_limits::kSsdpRateWindowMs;
    });
    // Still full of requesters from this very second: a flood of forged sources.
    if (windows_.size() >= upnp_limits::kSsdpRateTableMax) return false;
  }
  Window& window = windows_[requester];
  if (window.Count == 0 || nowMs - window.StartMs >= upnp_limits::kSsdpRateWindowMs) {
    window.StartMs = nowMs;
    window.Count = 0;
  }
  if (window.Count >= upnp_limits::kSsdpMaxAnswersPerSecond) return false;
  ++window.Count;
  return true;
}
