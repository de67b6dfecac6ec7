#include "app/aux_web_server.h"

#include <gtest/gtest.h>

#include "platform/app_directory.h"
#include "platform/testing/test_support.h"

namespace {

// Without lighttpd only the .mkv resources go unanswered: the server starts all the same.
TEST(AuxWebServerTest, AMissingProgramIsIgnored) {
  platform::testing::TempDir home;
  platform::InitAppDirectory(home.path());
  SetLighttpdProgram(home.Join("no-such-lighttpd"));
  StartLighttpd(3456, "127.0.0.1");
  EXPECT_FALSE(LighttpdRunning());
  StopLighttpd();
  SetLighttpdProgram("");
}

}  // namespace
