#include "app/service_body.h"

#include "app/service.h"
#include "app/settings.h"
#include "platform/log.h"
#include "upnp/device_host.h"

void InstallServiceBody() {
  SetServiceBody([](ServiceConfig& config) {
    DeviceHostConfig host;
    host.FriendlyName = ReadSetting(kKeyServerName);
    if (host.FriendlyName.empty()) host.FriendlyName = kFallbackServerName;
    host.Udn = config.udn;
    host.SerialNumber = config.serialNumber;
    int result = RunMediaServerDevice(
        host, [&config](std::function<void()> stop) { config.SetStopper(std::move(stop)); });
    if (result != 0) platform::Log("The media server device could not start.\n");
  });
}
