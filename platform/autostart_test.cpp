#include "platform/autostart.h"

#include <stdlib.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/file_info.h"
#include "platform/testing/test_support.h"

namespace platform {
namespace {

// Enabling and disabling through the settings is proven by the options' own test; here
// is what the entry holds and where it goes. HOME is put back afterwards.
TEST(AutostartTest, ExecHoldsTheLatestPathQuotedAndControlCharactersAreRefused) {
  testing::TempDir dir;
  const std::string home = std::getenv("HOME");
  ::setenv("HOME", dir.Join("home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);  // Invalid, so ignored.
  const std::string entry = dir.Join("home/.config/autostart/Orvex.desktop");
  EXPECT_EQ(AutostartEntryPath(), entry);
  ::setenv("XDG_CONFIG_HOME", dir.Join("config").c_str(), 1);
  ASSERT_TRUE(SetAutostart(true, "/old/Mirelle"));
  ASSERT_TRUE(SetAutostart(true, "/opt/orvex/Mirelle"));
  std::string text = testing::ReadFile(dir.Join("config/autostart/Orvex.desktop"));
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(text.find("\nExec=\"/opt/orvex/Mirelle\"\n"), std::string::npos);
  EXPECT_EQ(text.find("/old/"), std::string::npos);
  ASSERT_TRUE(SetAutostart(false, "/opt/orvex/Mirelle"));
  EXPECT_TRUE(SetAutostart(false, "/opt/orvex/Mirelle"));  // Already absent.
  EXPECT_FALSE(SetAutostart(true, "/bad\nExec=/bin/evil"));
  EXPECT_FALSE(SetAutostart(true, ""));
  EXPECT_FALSE(FileExists(dir.Join("config/autostart/Orvex.desktop")));
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", home.c_str(), 1);

  // A literal backslash takes four, a quote, dollar or backtick two plus itself.
  EXPECT_EQ(AutostartExecValue("/a\\b c"), "\"/a\\\\\\\\b c\"");
  EXPECT_EQ(AutostartExecValue("/a\"b$c`d"), "\"/a\\\\\"b\\\\$c\\\\`d\"");
  EXPECT_EQ(AutostartExecValue("/100%/x"), "\"/100%%/x\"");
}

}  // namespace
}  // namespace platform
