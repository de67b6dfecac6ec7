#include "platform/autostart.h"

#include <stdlib.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/file_info.h"
#include "platform/testing/test_support.h"

namespace platform {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// The entry goes under the test's own configuration folder; HOME and XDG_CONFIG_HOME are
// put back afterwards.
class AutostartTest : public ::testing::Test {
 protected:
  AutostartTest() : home_(std::getenv("HOME")) {
    ::setenv("XDG_CONFIG_HOME", dir_.Join("config").c_str(), 1);
  }
  ~AutostartTest() override {
    ::unsetenv("XDG_CONFIG_HOME");
    if (!home_.empty()) ::setenv("HOME", home_.c_str(), 1);
  }
  std::string Entry() const { return dir_.Join("config/autostart/Orvex.desktop"); }

  TempDir dir_;
  std::string home_;
};

// Enabling and disabling through the settings is proven by the options' own test; here
// is what the entry holds.
TEST_F(AutostartTest, ExecHoldsTheLatestPathQuotedAndControlCharactersAreRefused) {
  ASSERT_TRUE(SetAutostart(true, "/old/Mirelle"));
  ASSERT_TRUE(SetAutostart(true, "/opt/orvex/Mirelle"));
  std::string text = ReadFile(Entry());
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(text.find("\nExec=\"/opt/orvex/Mirelle\"\n"), std::string::npos);
  EXPECT_EQ(text.find("/old/"), std::string::npos);
  EXPECT_FALSE(FileExists(Entry() + ".tmp"));
  ASSERT_TRUE(SetAutostart(false, "/opt/orvex/Mirelle"));
  EXPECT_TRUE(SetAutostart(false, "/opt/orvex/Mirelle"));  // Already absent.

  EXPECT_EQ(AutostartExecValue("/home/me/Media Server/Mirelle"),
            "\"/home/me/Media Server/Mirelle\"");
  // A literal backslash takes four, a quote, dollar or backtick two plus itself.
  EXPECT_EQ(AutostartExecValue("/a\\b"), "\"/a\\\\\\\\b\"");
  EXPECT_EQ(AutostartExecValue("/a\"b$c`d"), "\"/a\\\\\"b\\\\$c\\\\`d\"");
  EXPECT_EQ(AutostartExecValue("/100%/x"), "\"/100%%/x\"");
  EXPECT_EQ(AutostartExecValue("/bad\nname"), "");
  EXPECT_FALSE(SetAutostart(true, "/bad\nExec=/bin/evil"));
  EXPECT_FALSE(SetAutostart(true, ""));
  EXPECT_FALSE(FileExists(Entry()));
}

TEST_F(AutostartTest, EntryThatTurnsItselfOffCountsAsDisabled) {
  ASSERT_TRUE(SetAutostart(true, "/opt/orvex/Mirelle"));
  WriteFile(Entry(), "[Desktop Entry]\nType=Application\nExec=x\nHidden=true\n");
  EXPECT_FALSE(IsAutostartEnabled());
  WriteFile(Entry(), "[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled = false\n");
  EXPECT_FALSE(IsAutostartEnabled());
  WriteFile(Entry(), "[Desktop Entry]\nExec=x\n[Other]\nHidden=true\n");
  EXPECT_TRUE(IsAutostartEnabled());
}

TEST_F(AutostartTest, HomeConfigIsTheDefault) {
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", dir_.Join("home").c_str(), 1);
  EXPECT_EQ(AutostartEntryPath(), dir_.Join("home/.config/autostart/Orvex.desktop"));
  // A relative XDG_CONFIG_HOME is invalid and ignored.
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  EXPECT_EQ(AutostartEntryPath(), dir_.Join("home/.config/autostart/Orvex.desktop"));
  ASSERT_TRUE(SetAutostart(true, "/opt/orvex/Mirelle"));
  EXPECT_TRUE(FileExists(dir_.Join("home/.config/autostart/Orvex.desktop")));
}

}  // namespace
}  // namespace platform
