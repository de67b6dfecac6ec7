#include "app/service_body.h"

#include "app/service.h"
#include "app/settings.h"
#include "cds/content_directory_service.h"
#include "delivery/aio.h"
#include "platform/log.h"
#include "streamserver/stream_server.h"
#include "upnp/device_host.h"

void InstallServiceBody() {
  SetServiceBody([](ServiceConfig& config) {
    DeviceHostConfig host;
    host.FriendlyName = ReadSetting(kKeyServerName);
    if (host.FriendlyName.empty()) host.FriendlyName = kFallbackServerName;
    host.Udn = config.udn;
    host.SerialNumber = config.serialNumber;
    // Every file read of a transfer runs on the read thread, never on the chains.
    if (!Aio_Start()) {
      platform::Log("The read thread could not start.\n");
      return;
    }
    // The content directory answers Browse and Search on a chain of its own; it must
    // outlive the device chain that hands it requests.
    ContentDirectoryService contentDirectory(config.webRoot, StreamServer_Port);
    contentDirectory.Configure(&host);
    host.DeviceReady = [cds = std::move(host.DeviceReady)](FLibChain* chain, UpnpLattice* device) {
      if (cds) cds(chain, device);
      MediaServerService_SetWebPort(UpnpLattice_WebPort(device));
    };
    if (!contentDirectory.Start()) {
      platform::Log("The content directory could not start.\n");
      Aio_Stop();
      return;
    }
    int result = RunMediaServerDevice(
        host, [&config](std::function<void()> stop) { config.SetStopper(std::move(stop)); });
    MediaServerService_SetWebPort(0);
    contentDirectory.Stop();
    Aio_Stop();
    if (result != 0) platform::Log("The media server device could not start.\n");
  });
}
