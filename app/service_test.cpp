#include "app/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>

#include "library/library.h"
#include "library/testing/temp_library.h"

namespace {

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lib_.ok()); }
  void TearDown() override {
    MediaServerService_Stop();
    SetServiceBody(nullptr);
  }
  TempLibrary lib_;
};

TEST_F(ServiceTest, StartsReportsRunningAndStopsOnRequest) {
  EXPECT_EQ(MediaServerService_IsRunning(), 0);
  ASSERT_EQ(MediaServerService_Start(), 1);
  EXPECT_EQ(MediaServerService_IsRunning(), 1);
  MediaServerService_Stop();
  EXPECT_EQ(MediaServerService_IsRunning(), 0);
  // Stopping a stopped service is harmless.
  MediaServerService_Stop();
  EXPECT_EQ(MediaServerService_IsRunning(), 0);
}

TEST_F(ServiceTest, BodyGetsTheStoredIdentityAtEveryStartAndItsStopperEndsIt) {
  DeviceIdentity stored;
  ASSERT_TRUE(LoadDeviceIdentity(&stored));
  SetServiceIdentity(stored);
  std::atomic<int> runs{0};
  std::set<std::string> udns;
  std::mutex udnMutex;
  SetServiceBody([&](ServiceConfig& config) {
    EXPECT_EQ(config.virtualDirectories, (std::vector<std::string>{"0", "1"}));
    EXPECT_EQ(config.searchCapabilities, 4194309);
    EXPECT_EQ(config.sortCapabilities, 0);
    EXPECT_EQ(config.webRoot, ".\\");
    {
      std::lock_guard lock(udnMutex);
      udns.insert(config.udn);
    }
    // A body with an event chain of its own: the stopper wakes it.
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    config.SetStopper([&] {
      std::lock_guard lock(m);
      stop = true;
      cv.notify_all();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return stop; });
    ++runs;
  });
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(MediaServerService_Start(), 1);
    EXPECT_EQ(MediaServerService_IsRunning(), 1);
    MediaServerService_Stop();
    EXPECT_EQ(MediaServerService_IsRunning(), 0);
  }
  EXPECT_EQ(runs.load(), 3);
  // Every start announces the same device.
  EXPECT_EQ(udns, std::set<std::string>{stored.udn});
}

TEST_F(ServiceTest, StopBeforeTheBodyInstallsItsStopperIsNotLost) {
  ServiceConfig config;
  config.RequestStop();
  bool ran = false;
  config.SetStopper([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(config.StopRequested());
}

// Both values go into the description and the SSDP headers as they are: a row that holds
// anything but what the program makes is made again (and stored).
TEST_F(ServiceTest, MalformedStoredIdentityIsMadeAgain) {
  db_setAVP("UDN", "6f1c\r\nLOCATION: http://evil/");
  db_setAVP("SerialNumber", "1</serialNumber><x>");
  DeviceIdentity identity;
  ASSERT_TRUE(LoadDeviceIdentity(&identity));
  EXPECT_TRUE(std::regex_match(
      identity.udn,
      std::regex("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")))
      << identity.udn;
  EXPECT_TRUE(std::regex_match(identity.serialNumber, std::regex("^[0-9a-f-]+$")));
  std::string stored;
  db_getAVP("UDN", &stored);
  EXPECT_EQ(stored, identity.udn);
}

}  // namespace
