#include "upnp/device_host.h"

#include <memory>
#include <mutex>

#include "platform/log.h"

namespace {

// What the stopper reaches: the chain while it exists, null afterwards.
struct StopTarget {
  std::mutex Lock;
  FLibChain* Chain = nullptr;
  bool StopEarly = false;
};

}  // namespace

int RunMediaServerDevice(const DeviceHostConfig& config,
                         const std::function<void(std::function<void()>)>& installStopper) {
  auto target = std::make_shared<StopTarget>();
  std::function<void()> stopper = [target] {
    std::lock_guard lock(target->Lock);
    if (target->Chain) {
      FLibChain_Stop(target->Chain);
    } else {
      target->StopEarly = true;
    }
  };
  FLibChainPtr chain = FLibChain_Create();
  if (!chain) {
    platform::Log("Could not create the device chain\n");
    return -1;
  }
  UpnpLattice* device =
      UpnpLattice_Create(chain.get(), config.FriendlyName, config.Udn, config.SerialNumber,
                         config.NotifyCycleSeconds, config.WebPort, config.Actions, config.Options);
  if (device == nullptr) return -1;
  {
    std::lock_guard lock(target->Lock);
    target->Chain = chain.get();
    if (target->StopEarly) FLibChain_Stop(chain.get());
  }
  if (config.DeviceReady) config.DeviceReady(chain.get(), device);
  if (installStopper) installStopper(stopper);
  FLibChain_Start(chain.get());
  {
    std::lock_guard lock(target->Lock);
    target->Chain = nullptr;
  }
  chain.reset();
  return 0;
}
