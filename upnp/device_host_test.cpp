#include "upnp/device_host.h"

#include <gtest/gtest.h>

#include <future>

#include "upnp/testing/device_test_util.h"

namespace {

// Running until stopped from another thread is proven by the namespace test's device host.
TEST(DeviceHostTest, AStopBeforeTheChainRunsEndsItAtOnce) {
  DeviceHostConfig config;
  config.FriendlyName = "Host Test";
  config.Udn = "11111111-2222-3333-4444-555555555555";
  config.Options.EnableSsdp = false;
  config.Options.Web.BindAddress = runtime_test::kLoopback;
  std::future<int> result = std::async(std::launch::async, [&] {
    return RunMediaServerDevice(config, [](std::function<void()> stop) { stop(); });
  });
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(result.get(), 0);
}

}  // namespace
