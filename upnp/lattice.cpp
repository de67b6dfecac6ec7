#include "upnp/lattice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "platform/log.h"
#include "platform/tick.h"
#include "upnp/description.h"
#include "upnp/limits.h"

namespace {

struct AnnounceTask {
  UpnpLattice* Device = nullptr;
  int Step = 0;
};

struct ReplyTask {
  UpnpLattice* Device = nullptr;
  std::string Target;
  uint32_t Address = 0;
  uint16_t Port = 0;
};

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

FLibFd UdpSocket() {
  return FLibFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

bool SetReuse(int fd) {
  int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool Bind(int fd, uint32_t address, uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

void JoinGroup(int fd, uint32_t interfaceAddress) {
  ip_mreq request{};
  request.imr_multiaddr.s_addr = htonl(kSsdpGroupAddress);
  request.imr_interface.s_addr = htonl(interfaceAddress);
  // EADDRINUSE: already a member on that interface, as after an address change.
  if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0 &&
      errno != EADDRINUSE)
    platform::Logf("SSDP: cannot join the group on %s\n", FLibIpv4ToText(interfaceAddress).c_str());
}

bool OpenListener(FLibFd* out, uint16_t port, const char* reuseMessage, const char* bindMessage) {
  FLibFd fd = UdpSocket();
  if (!fd.Valid() || !SetReuse(fd.Get())) {
    platform::Log(reuseMessage);
    return false;
  }
  if (!Bind(fd.Get(), INADDR_ANY, port)) {
    platform::Log(bindMessage);
    return false;
  }
  *out = std::move(fd);
  return true;
}

FLibFd OpenSender(uint32_t address, uint16_t port) {
  FLibFd fd = UdpSocket();
  if (!fd.Valid()) return fd;
  SetReuse(fd.Get());
  unsigned char ttl = upnp_limits::kSsdpMulticastTtl;
  ::setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  if (!Bind(fd.Get(), address, port)) {
    platform::Logf("SSDP: cannot bind a sending socket to %s:%u\n", FLibIpv4ToText(address).c_str(),
                   static_cast<unsigned>(port));
    return FLibFd();
  }
  return fd;
}

// Sends one datagram to the group from `fd`, leaving through `interfaceAddress`.
bool SendToGroup(int fd, uint32_t interfaceAddress, uint16_t port, const std::string& message) {
  if (fd < 0) return false;
  in_addr local{};
  local.s_addr = htonl(interfaceAddress);
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
  sockaddr_in to = MakeAddress(kSsdpGroupAddress, port);
  return ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                  reinterpret_cast<sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(message.size());
}

void BuildSenders(UpnpLattice* device) {
  device->Senders.clear();
  device->Interfaces = platform::ListIpv4Interfaces();
  for (const platform::NetInterface& entry : device->Interfaces) {
    UpnpLatticeSender sender;
    sender.Address = entry.Address;
    sender.Port1900 = OpenSender(entry.Address, kSsdpPort);
    sender.Port51900 = OpenSender(entry.Address, kSsdpAlternatePort);
    device->Senders.push_back(std::move(sender));
    JoinGroup(device->Listen1900.Get(), entry.Address);
    JoinGroup(device->Listen51900.Get(), entry.Address);
  }
}

void SendByebyeRound(UpnpLattice* device) {
  for (const UpnpLatticeSender& sender : device->Senders) {
    for (uint16_t port : {kSsdpPort, kSsdpAlternatePort}) {
      int fd = port == kSsdpPort ? sender.Port1900.Get() : sender.Port51900.Get();
      for (int repeat = 0; repeat < 2; ++repeat) {
        for (int step = kSsdpFirstStep; step <= kSsdpLastStep; ++step) {
          if (!SendToGroup(fd, sender.Address, port,
                           UpnpSsdp_ByebyeMessage(device->Identity, step, port)))
            break;
        }
      }
    }
  }
}

void FreeAnnounce(void* data) { std::unique_ptr<AnnounceTask>(static_cast<AnnounceTask*>(data)); }
void FreeReply(void* data) {
  std::unique_ptr<ReplyTask> task(static_cast<ReplyTask*>(data));
  --task->Device->PendingReplies;
}

void RunAnnounce(void* data);

void ScheduleAnnounce(UpnpLattice* device, int step, uint32_t delayMs) {
  auto task = std::make_unique<AnnounceTask>();
  task->Device = device;
  task->Step = step;
  FLibTimer_Add(device->Timers, task.release(), delayMs, RunAnnounce, FreeAnnounce);
}

void RunAnnounce(void* data) {
  std::unique_ptr<AnnounceTask> task(static_cast<AnnounceTask*>(data));
  UpnpLattice* device = task->Device;
  if (task->Step == 0) {
    // The round planner: every type soon, again seven seconds later, and the next round
    // between a quarter and a half of the cycle from now.
    for (int step = kSsdpFirstStep; step <= kSsdpLastStep; ++step)
      ScheduleAnnounce(device, step, FLibRandom() % upnp_limits::kSsdpRoundSpreadMs);
    for (int step = kSsdpFirstStep; step <= kSsdpLastStep; ++step)
      ScheduleAnnounce(
          device, step,
          upnp_limits::kSsdpRepeatDelayMs + FLibRandom() % upnp_limits::kSsdpRoundSpreadMs);
    uint32_t cycle = static_cast<uint32_t>(std::max(device->NotifyCycleSeconds, 0));
    ScheduleAnnounce(device, 0, UpnpSsdp_NextRoundSeconds(cycle, FLibRandom()) * 1000);
    return;
  }
  for (const UpnpLatticeSender& sender : device->Senders) {
    SendToGroup(sender.Port1900.Get(), sender.Address, kSsdpPort,
                UpnpSsdp_AliveMessage(device->Identity, task->Step, sender.Address, kSsdpPort));
    SendToGroup(
        sender.Port51900.Get(), sender.Address, kSsdpAlternatePort,
        UpnpSsdp_AliveMessage(device->Identity, task->Step, sender.Address, kSsdpAlternatePort));
  }
}

void RunReply(void* data) {
  std::unique_ptr<ReplyTask> task(static_cast<ReplyTask*>(data));
  UpnpLattice* device = task->Device;
  --device->PendingReplies;
  sockaddr_in to = MakeAddress(task->Address, task->Port);
  for (uint32_t local : UpnpSsdp_ReplyInterfaces(device->Interfaces, task->Address)) {
    FLibFd fd = UdpSocket();
    if (!fd.Valid() || !Bind(fd.Get(), local, 0)) continue;
    for (const std::string& reply : UpnpSsdp_SearchReplies(device->Identity, task->Target, local))
      ::sendto(fd.Get(), reply.data(), reply.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
  }
}

void ReadDatagrams(UpnpLattice* device, int fd) {
  char buffer[upnp_limits::kSsdpDatagramMaxBytes];
  // A bounded number per turn, so a flood cannot starve the rest of the chain.
  for (int i = 0; i < 64; ++i) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                           &length);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) platform::Log("recvfrom\n");
      return;
    }
    if (static_cast<size_t>(n) > sizeof buffer) continue;  // larger than any search
    UpnpLattice_HandleDatagram(device, std::string_view(buffer, static_cast<size_t>(n)),
                               ntohl(from.sin_addr.s_addr), ntohs(from.sin_port),
                               platform::TickCountMs());
  }
}

void Rebuild(UpnpLattice* device) {
  BuildSenders(device);
  for (int step = kSsdpFirstStep; step <= kSsdpLastStep; ++step)
    ScheduleAnnounce(device, step, (FLibRandom() & 0xFFFF) % upnp_limits::kSsdpStartSpreadMs);
}

void BeforeWait(FLibModule* module, FLibSocketSet* read, FLibSocketSet*, FLibSocketSet*, int32_t*) {
  auto* device = static_cast<UpnpLattice*>(module);
  if (!device->Options.EnableSsdp) return;
  if (!device->InitialNotify) {
    device->InitialNotify = true;
    SendByebyeRound(device);
    ScheduleAnnounce(device, 0, (FLibRandom() & 0xFFFF) % upnp_limits::kSsdpStartSpreadMs);
  }
  if (device->AddressesStale.exchange(false)) Rebuild(device);
  FLibSocketSet_Add(read, device->Listen1900.Get());
  FLibSocketSet_Add(read, device->Listen51900.Get());
  // Unicast searches to one of our addresses reach the socket bound to it most closely.
  for (const UpnpLatticeSender& sender : device->Senders) {
    if (sender.Port1900.Valid()) FLibSocketSet_Add(read, sender.Port1900.Get());
    if (sender.Port51900.Valid()) FLibSocketSet_Add(read, sender.Port51900.Get());
  }
  if (device->AddressWatch.Fd() >= 0) FLibSocketSet_Add(read, device->AddressWatch.Fd());
}

void AfterWait(FLibModule* module, int result, FLibSocketSet* read, FLibSocketSet*,
               FLibSocketSet*) {
  auto* device = static_cast<UpnpLattice*>(module);
  if (!device->Options.EnableSsdp || result < 0) return;
  if (device->AddressWatch.Fd() >= 0 && FLibSocketSet_Has(read, device->AddressWatch.Fd()) &&
      device->AddressWatch.Drain())
    UpnpLattice_AddressesChanged(device);
  std::vector<int> ready;
  for (int fd : {device->Listen1900.Get(), device->Listen51900.Get()})
    if (FLibSocketSet_Has(read, fd)) ready.push_back(fd);
  for (const UpnpLatticeSender& sender : device->Senders) {
    for (const FLibFd* fd : {&sender.Port1900, &sender.Port51900})
      if (fd->Valid() && FLibSocketSet_Has(read, fd->Get())) ready.push_back(fd->Get());
  }
  for (int fd : ready) ReadDatagrams(device, fd);
}

void Dispose(FLibModule* module) {
  auto* device = static_cast<UpnpLattice*>(module);
  if (device->Options.EnableSsdp && device->InitialNotify) SendByebyeRound(device);
  device->Senders.clear();
  device->Listen1900.Reset();
  device->Listen51900.Reset();
  UpnpGena_End(device->Gena.get());
}

uint32_t ArrivalNetmask(const UpnpLattice* device, uint32_t localAddress) {
  for (const platform::NetInterface& entry : device->Interfaces) {
    if (entry.Address == localAddress) return entry.Netmask;
  }
  if ((localAddress >> 24) == 127) return platform::kLoopbackNetmask;
  return 0xFFFFFFFF;
}

void OnRequest(FLibWebSession* session, FLibHttpPacket* request, bool done, void* user) {
  if (!done) return;  // answered once the whole request is here
  auto* device = static_cast<UpnpLattice*>(user);
  const std::string& method = request->Method;
  if (UpnpDescription_HandleGet(session, *request, device->Description)) return;
  if (method == "POST") {
    UpnpSoap_Dispatch(session, *request, device->Actions);
  } else if (method == "SUBSCRIBE") {
    uint32_t local = FLibWebServer_LocalAddress(session);
    UpnpGena_Subscribe(device->Gena.get(), session, *request, FLibWebServer_PeerAddress(session),
                       local, ArrivalNetmask(device, local));
  } else if (method == "UNSUBSCRIBE") {
    UpnpGena_Unsubscribe(device->Gena.get(), session, *request);
  } else {
    std::string answer = UpnpDescription_EmptyResponse(400, "Bad Request");
    FLibWebServer_SendBytes(session, answer.data(), answer.size(), FLibOwnership_User, true);
  }
}

void OnSessionStarted(FLibWebSession* session, void* user) {
  session->DataArrived = OnRequest;
  session->User = user;
}

}  // namespace

UpnpLattice* UpnpLattice_Create(FLibChain* chain, std::string_view friendlyName,
                                std::string_view udn, std::string_view serialNumber,
                                int notifyCycleSeconds, uint16_t port, UpnpLatticeActions actions,
                                const UpnpLatticeOptions& options) {
  auto device = std::make_unique<UpnpLattice>();
  device->Chain = chain;
  device->Options = options;
  device->BeforeWait = BeforeWait;
  device->AfterWait = AfterWait;
  device->Dispose = Dispose;
  if (udn.substr(0, 5) == "uuid:") udn.remove_prefix(5);
  device->Udn = "uuid:" + std::string(udn);
  device->SerialNumber = std::string(serialNumber);
  device->NotifyCycleSeconds = notifyCycleSeconds;
  device->Actions = std::move(actions);
  device->Identity.Identifier = std::string(udn);
  device->Identity.MaxAge = notifyCycleSeconds;

  if (options.EnableSsdp) {
    if (!OpenListener(&device->Listen1900, kSsdpPort, "Setting SockOpt SO_REUSEADDR failed\r\n",
                      "Could not bind to UPnP Listen Port\r\n") ||
        !OpenListener(&device->Listen51900, kSsdpAlternatePort,
                      "Setting SockOpt SO_REUSEADDR failed for port 2\r\n",
                      "Could not bind to UPnP Listen Port 2\r\n"))
      return nullptr;
    BuildSenders(device.get());
    if (!device->AddressWatch.Open())
      platform::Log("SSDP: no address change notifications; interfaces are read once\n");
  } else {
    device->Interfaces = platform::ListIpv4Interfaces();
  }

  device->Timers = FLibTimer_Create(chain);
  device->WebServer = FLibWebServer_Create(chain, upnp_limits::kDeviceWebConnections, port,
                                           OnSessionStarted, device.get(), options.Web);
  if (device->WebServer == nullptr) {
    platform::Log("Could not start the web server of the device\n");
    return nullptr;
  }
  FLibWebClientOptions clientOptions;
  clientOptions.ResponseDeadlineMs = upnp_limits::kGenaNotifyTimeoutMs;
  device->WebClient = FLibWebClient_Create(chain, upnp_limits::kDeviceWebClientPool, clientOptions);
  device->Gena = UpnpGena_Create(device->WebClient, device->Timers);
  device->Identity.WebPort = FLibWebServer_BoundPort(device->WebServer);
  device->Description = UpnpDescription_Format(friendlyName, serialNumber, udn);
  return FLibChain_AddModule(chain, std::move(device));
}

uint16_t UpnpLattice_WebPort(const UpnpLattice* device) {
  return FLibWebServer_BoundPort(device->WebServer);
}

FLibWebServer* UpnpLattice_WebServer(UpnpLattice* device) { return device->WebServer; }

void UpnpLattice_AddressesChanged(UpnpLattice* device) {
  device->AddressesStale = true;
  FLibChain_Wake(device->Chain);
}

bool UpnpLattice_HandleDatagram(UpnpLattice* device, std::string_view datagram, uint32_t requester,
                                uint16_t requesterPort, uint64_t nowMs) {
  UpnpSsdpSearch search;
  if (!UpnpSsdp_ParseSearch(datagram, &search)) return false;
  if (device->PendingReplies >= upnp_limits::kSsdpMaxPendingReplies) return false;
  if (!device->SearchLimiter.Admit(requester, nowMs)) return false;
  auto task = std::make_unique<ReplyTask>();
  task->Device = device;
  task->Target = std::move(search.Target);
  task->Address = requester;
  task->Port = requesterPort;
  ++device->PendingReplies;
  FLibTimer_Add(device->Timers, task.release(), UpnpSsdp_ReplyDelayMs(search.Mx, FLibRandom()),
                RunReply, FreeReply);
  return true;
}

void UpnpLattice_Publish_SystemUpdateID(UpnpLattice* device, uint32_t value) {
  UpnpGena_PublishSystemUpdateID(device->Gena.get(), value);
}
void UpnpLattice_Publish_ContainerUpdateIDs(UpnpLattice* device, std::string_view text) {
  UpnpGena_PublishContainerUpdateIDs(device->Gena.get(), text);
}
void UpnpLattice_Publish_SourceProtocolInfo(UpnpLattice* device, std::string_view text) {
  UpnpGena_PublishSourceProtocolInfo(device->Gena.get(), text);
}
void UpnpLattice_Publish_SinkProtocolInfo(UpnpLattice* device, std::string_view text) {
  UpnpGena_PublishSinkProtocolInfo(device->Gena.get(), text);
}
void UpnpLattice_Publish_CurrentConnectionIDs(UpnpLattice* device, std::string_view text) {
  UpnpGena_PublishCurrentConnectionIDs(device->Gena.get(), text);
}
void UpnpLattice_Publish_ContentDirectoryChange(
    UpnpLattice* device, uint32_t systemUpdateId,
    std::optional<std::string_view> containerUpdateIds) {
  UpnpGena_PublishContentDirectoryChange(device->Gena.get(), systemUpdateId, containerUpdateIds);
}
void UpnpLattice_Keep_SystemUpdateID(UpnpLattice* device, uint32_t value) {
  UpnpGena_KeepSystemUpdateID(device->Gena.get(), value);
}
