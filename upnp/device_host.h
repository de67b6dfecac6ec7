// The media server device as the body of the service thread: builds chain 1 with the
// device, runs it until stopped and frees everything before returning.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "upnp/lattice.h"
#include "upnp/limits.h"
#include "upnp/soap.h"

struct DeviceHostConfig {
  std::string FriendlyName;
  std::string Udn;  // with or without "uuid:"
  std::string SerialNumber;
  uint16_t WebPort = 0;  // 0 = random 50000..64999
  int NotifyCycleSeconds = upnp_limits::kSsdpNotifyCycleSeconds;
  UpnpLatticeActions Actions;
  UpnpLatticeOptions Options;
  // Called on the service thread once the device exists and before the chain runs: the
  // place to add virtual directories, other modules of chain 1 and to keep the device
  // for publishing state variables. The device is valid until RunMediaServerDevice
  // returns.
  std::function<void(FLibChain*, UpnpLattice*)> DeviceReady;
};

// Creates chain 1 with the device and runs it on the calling thread. Before the chain
// runs, `installStopper` receives a function that stops it; that function may be called
// from any thread, any number of times, also after this function has returned (it then
// does nothing). Returns 0 after a stop, -1 when the device could not be created.
int RunMediaServerDevice(const DeviceHostConfig& config,
                         const std::function<void(std::function<void()>)>& installStopper);
