// The device module: one UPnP root device (a MediaServer with ConnectionManager and
// ContentDirectory) on an event chain. It owns the SSDP sockets, the embedded web server
// that serves the descriptions, SOAP control and GENA eventing, the web client that
// carries NOTIFYs, and a timer module for announcements and search replies.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net_interfaces.h"
#include "upnp/chain.h"
#include "upnp/gena.h"
#include "upnp/soap.h"
#include "upnp/ssdp.h"
#include "upnp/timer.h"
#include "upnp/web_client.h"
#include "upnp/web_server.h"

struct UpnpLatticeOptions {
  // Tests that only exercise the web side run without SSDP, so that nothing is sent to
  // the network.
  bool EnableSsdp = true;
  FLibWebServerOptions Web;
};

// The sockets that send announcements from one interface.
struct UpnpLatticeSender {
  uint32_t Address = 0;
  FLibFd Port1900;
  FLibFd Port51900;
};

struct UpnpLattice : FLibModule {
  FLibChain* Chain = nullptr;
  FLibTimer* Timers = nullptr;
  FLibWebServer* WebServer = nullptr;
  FLibWebClient* WebClient = nullptr;
  UpnpLatticeOptions Options;

  std::string Udn;  // "uuid:" + identifier
  std::string SerialNumber;
  int NotifyCycleSeconds = 0;
  UpnpSsdpIdentity Identity;
  std::string Description;
  UpnpLatticeActions Actions;
  std::shared_ptr<UpnpGena> Gena;

  // Chain thread only:
  bool InitialNotify = false;
  std::vector<platform::NetInterface> Interfaces;
  FLibFd Listen1900;
  FLibFd Listen51900;
  std::vector<UpnpLatticeSender> Senders;
  platform::AddressChangeWatch AddressWatch;
  UpnpSsdpRateLimiter SearchLimiter;
  size_t PendingReplies = 0;

  std::atomic<bool> AddressesStale{false};
};

// Creates the device and adds it to the chain. `udn` may carry "uuid:" or not. Returns
// null (after logging why) when the SSDP sockets or the web server cannot be set up.
UpnpLattice* UpnpLattice_Create(FLibChain* chain, std::string_view friendlyName,
                                std::string_view udn, std::string_view serialNumber,
                                int notifyCycleSeconds, uint16_t port, UpnpLatticeActions actions,
                                const UpnpLatticeOptions& options = {});

uint16_t UpnpLattice_WebPort(const UpnpLattice* device);
FLibWebServer* UpnpLattice_WebServer(UpnpLattice* device);

// The interface list changed: the sending sockets are rebuilt and the device announced
// again on the next turn. Any thread.
void UpnpLattice_AddressesChanged(UpnpLattice* device);

// The evented state variables. Any thread.
void UpnpLattice_Publish_SystemUpdateID(UpnpLattice* device, uint32_t value);
void UpnpLattice_Publish_ContainerUpdateIDs(UpnpLattice* device, std::string_view text);
void UpnpLattice_Publish_SourceProtocolInfo(UpnpLattice* device, std::string_view text);
void UpnpLattice_Publish_SinkProtocolInfo(UpnpLattice* device, std::string_view text);
void UpnpLattice_Publish_CurrentConnectionIDs(UpnpLattice* device, std::string_view text);
// A library change as one event, and a newer SystemUpdateID kept for first events only
// (UpnpGena_PublishContentDirectoryChange, UpnpGena_KeepSystemUpdateID).
void UpnpLattice_Publish_ContentDirectoryChange(UpnpLattice* device, uint32_t systemUpdateId,
                                                std::optional<std::string_view> containerUpdateIds);
void UpnpLattice_Keep_SystemUpdateID(UpnpLattice* device, uint32_t value);

// Handles one datagram that arrived on an SSDP socket from requester:port at `nowMs`:
// schedules the reply task when it is a search worth answering. Returns true when a
// reply was scheduled. Chain thread.
bool UpnpLattice_HandleDatagram(UpnpLattice* device, std::string_view datagram, uint32_t requester,
                                uint16_t requesterPort, uint64_t nowMs);
