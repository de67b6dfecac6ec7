// A media server device without actions, for tests that run it inside a private
// network namespace. Prints "PORT <web port>" once the device exists and runs until its
// standard input is closed, then prints "STOPPED".
//   device_test_host [friendly name] [udn]
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <thread>

#include "upnp/device_host.h"

int main(int argc, char** argv) {
  DeviceHostConfig config;
  config.FriendlyName = argc > 1 ? argv[1] : "Orvex Test & Co";
  config.Udn = argc > 2 ? argv[2] : "4d696e69-444c-164e-9d41-b827eb0a1b2c";
  config.SerialNumber = "1234abcd-ef-01";
  std::mutex lock;
  std::function<void()> stopper;
  bool inputClosed = false;
  config.DeviceReady = [](FLibChain*, UpnpLattice* device) {
    UpnpLattice_Publish_SystemUpdateID(device, 42);
    UpnpLattice_Publish_ContainerUpdateIDs(device, "");
    std::printf("PORT %u\n", static_cast<unsigned>(UpnpLattice_WebPort(device)));
    std::fflush(stdout);
  };
  std::thread watcher([&] {
    // The end of input stops the device.
    char c;
    while (::read(0, &c, 1) > 0) {
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
