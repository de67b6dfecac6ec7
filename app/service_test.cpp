#include "app/service.h"

#include <gtest/gtest.h>

#include <regex>

#include "library/library.h"
#include "library/testing/temp_library.h"

namespace {

// A stop that comes while the body is still setting up its event chain must still end it.
TEST(ServiceTest, StopBeforeTheBodyInstallsItsStopperIsNotLost) {
  ServiceConfig config;
  config.RequestStop();
  bool ran = false;
  config.SetStopper([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(config.StopRequested());
}

// Both values go into the description and the SSDP headers as they are: a row that holds
// anything but what the program makes is made again (and stored).
TEST(ServiceTest, MalformedStoredIdentityIsMadeAgain) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
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
