#include "app/service_body.h"

#include "app/service.h"
#include "app/settings.h"
#include "cds/content_directory_service.h"
#include "platform/log.h"
#include "upnp/device_host.h"

void InstallServiceBody() {
  SetServiceBody([](ServiceConfig& config) {
    DeviceHostConfig host;
    host.FriendlyName = ReadSetting(kKeyServerName);
    if (host.FriendlyName.empty()) host.FriendlyName = kFallbackServerName;
    host.Udn = config.udn;
    host.SerialNumber = config.serialNumber;
    // The content directory answers Browse and Search on a chain of its own; it must
    // outlive the device chain that hands it requests.
    ContentDirectoryService contentDirectory(config.webRoot);
    contentDirectory.Configure(&host);
    if (!contentDirectory.Start()) {
      platform::Log("The content directory could not start.\n");
      return;
    }
    int result = RunMediaServerDevice(
        host, [&config](std::function<void()> stop) { config.SetStopper(std::move(stop)); });
    contentDirectory.Stop();
    if (result != 0) platform::Log("The media server device could not start.\n");
  });
}
