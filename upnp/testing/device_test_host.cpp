// A media server device with test callbacks, for tests that run it inside a private
// network namespace. Prints "PORT <web port>" once the device exists and runs until its
// standard input is closed, then prints "STOPPED". A line "PUBLISH <n>" on standard input
// sets SystemUpdateID to n.
//   device_test_host [friendly name] [udn]
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "upnp/device_host.h"

int main(int argc, char** argv) {
  DeviceHostConfig config;
  config.FriendlyName = argc > 1 ? argv[1] : "Orvex Test & Co";
  config.Udn = argc > 2 ? argv[2] : "4d696e69-444c-164e-9d41-b827eb0a1b2c";
  config.SerialNumber = "1234abcd-ef-01";
  config.Actions.GetSystemUpdateID = [](FLibWebSession* s) {
    UpnpLattice_Response_GetSystemUpdateID(s, 42);
  };
  config.Actions.GetSearchCapabilities = [](FLibWebSession* s) {
    UpnpLattice_Response_GetSearchCapabilities(s, "dc:title");
  };
  config.Actions.GetSortCapabilities = [](FLibWebSession* s) {
    UpnpLattice_Response_GetSortCapabilities(s, "dc:title");
  };
  config.Actions.GetProtocolInfo = [](FLibWebSession* s) {
    UpnpLattice_Response_GetProtocolInfo(s, "http-get:*:audio/mpeg:*", "");
  };
  config.Actions.GetCurrentConnectionIDs = [](FLibWebSession* s) {
    UpnpLattice_Response_GetCurrentConnectionIDs(s, "0");
  };
  std::mutex lock;
  std::function<void()> stopper;
  bool inputClosed = false;
  std::atomic<UpnpLattice*> ready{nullptr};
  config.DeviceReady = [&ready](FLibChain*, UpnpLattice* device) {
    ready = device;
    UpnpLattice_Publish_SystemUpdateID(device, 42);
    UpnpLattice_Publish_ContainerUpdateIDs(device, "");
    std::printf("PORT %u\n", static_cast<unsigned>(UpnpLattice_WebPort(device)));
    std::fflush(stdout);
  };
  std::thread watcher([&] {
    // "PUBLISH <n>" lines set SystemUpdateID; end of input stops the device.
    std::string line;
    char c;
    while (::read(0, &c, 1) > 0) {
      if (c != '\n') {
        line += c;
        continue;
      }
      unsigned value = 0;
      if (std::sscanf(line.c_str(), "PUBLISH %u", &value) == 1 && ready.load())
        UpnpLattice_Publish_SystemUpdateID(ready.load(), value);
      line.clear();
    }
    std::lock_guard guard(lock);
    inputClosed = true;
    if (stopper) stopper();
  });
  int result = RunMediaServerDevice(config, [&](std::function<void()> stop) {
    std::lock_guard guard(lock);
    stopper = std::move(stop);
    if (inputClosed) stopper();
  });
  std::printf("STOPPED %d\n", result);
  std::fflush(stdout);
  watcher.detach();
  return result == 0 ? 0 : 1;
}
