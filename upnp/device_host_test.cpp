#include "upnp/device_host.h"

#include <gtest/gtest.h>

#include <future>

#include "upnp/testing/device_test_util.h"

namespace {

DeviceHostConfig Config(std::atomic<uint16_t>* port) {
  DeviceHostConfig config;
  config.FriendlyName = "Host Test";
  config.Udn = "11111111-2222-3333-4444-555555555555";
  config.SerialNumber = "s";
  config.Options.EnableSsdp = false;
  config.Options.Web.BindAddress = runtime_test::kLoopback;
  config.Actions.GetSystemUpdateID = [](FLibWebSession* s) {
    UpnpLattice_Response_GetSystemUpdateID(s, 9);
  };
  config.DeviceReady = [port](FLibChain*, UpnpLattice* device) {
    *port = UpnpLattice_WebPort(device);
  };
  return config;
}

TEST(DeviceHostTest, RunsUntilStoppedFromAnotherThread) {
  std::atomic<uint16_t> port{0};
  std::promise<std::function<void()>> stopper;
  DeviceHostConfig config = Config(&port);
  std::future<int> result = std::async(std::launch::async, [&] {
    return RunMediaServerDevice(config,
                                [&](std::function<void()> stop) { stopper.set_value(stop); });
  });
  std::function<void()> stop = stopper.get_future().get();
  ASSERT_NE(port.load(), 0);
  runtime_test::Client client(port);
  client.Send(device_test::Request("GET", "/"));
  EXPECT_NE(client.ReadUntilText("</root>").find("<friendlyName>Host Test</friendlyName>"),
            std::string::npos);
  stop();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(result.get(), 0);
  EXPECT_TRUE(client.WaitClosed()) << "the device's connections end with it";
  stop();  // after the return: does nothing
}

TEST(DeviceHostTest, AStopBeforeTheChainRunsEndsItAtOnce) {
  std::atomic<uint16_t> port{0};
  DeviceHostConfig config = Config(&port);
  std::future<int> result = std::async(std::launch::async, [&] {
    return RunMediaServerDevice(config, [](std::function<void()> stop) { stop(); });
  });
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(result.get(), 0);
}

}  // namespace
