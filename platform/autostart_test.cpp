#include "platform/autostart.h"

#include <stdlib.h>

#include <optional>
#include <string>

#include "gtest/gtest.h"
#include "platform/file_info.h"
#include "platform/test_support.h"

namespace platform {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Saves an environment variable and puts it back afterwards.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    const char* value = std::getenv(name);
    if (value != nullptr) saved_ = value;
  }
  ~EnvGuard() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class AutostartTest : public ::testing::Test {
 protected:
  AutostartTest() : home_("HOME"), config_("XDG_CONFIG_HOME") {
    ::setenv("XDG_CONFIG_HOME", dir_.Join("config").c_str(), 1);
  }
  std::string Entry() const { return dir_.Join("config/autostart/Orvex.desktop"); }

  TempDir dir_;
  EnvGuard home_;
  EnvGuard config_;
};

TEST_F(AutostartTest, EnableWritesTheEntryWithTheLatestPathAndDisableRemovesIt) {
  EXPECT_FALSE(IsAutostartEnabled());
  ASSERT_TRUE(SetAutostart(true, "/old/Mirelle"));
  ASSERT_TRUE(SetAutostart(true, "/opt/orvex/Mirelle"));
  EXPECT_EQ(AutostartEntryPath(), Entry());
  std::string text = ReadFile(Entry());
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(text.find("\nExec=\"/opt/orvex/Mirelle\"\n"), std::string::npos);
  EXPECT_EQ(text.find("/old/"), std::string::npos);
  EXPECT_TRUE(IsAutostartEnabled());
  EXPECT_FALSE(FileExists(Entry() + ".tmp"));

  ASSERT_TRUE(SetAutostart(false, "/opt/orvex/Mirelle"));
  EXPECT_FALSE(FileExists(Entry()));
  EXPECT_FALSE(IsAutostartEnabled());
  EXPECT_TRUE(SetAutostart(false, "/opt/orvex/Mirelle"));  // Already absent.
}

TEST_F(AutostartTest, ExecQuotesReservedCharactersAndRefusesControlCharacters) {
  EXPECT_EQ(AutostartExecValue("/home/me/Media Server/Mirelle"),
            "\"/home/me/Media Server/Mirelle\"");
  // A literal backslash takes four, a quote, dollar or backtick two plus itself.
  EXPECT_EQ(AutostartExecValue("/a\\b"), "\"/a\\\\\\\\b\"");
  EXPECT_EQ(AutostartExecValue("/a\"b$c`d"), "\"/a\\\\\"b\\\\$c\\\\`d\"");
  EXPECT_EQ(AutostartExecValue("/100%/x"), "\"/100%%/x\"");
  EXPECT_EQ(AutostartExecValue("/bad\nname"), "");
  EXPECT_FALSE(SetAutostart(true, "/bad\nExec=/bin/evil"));
  EXPECT_FALSE(FileExists(Entry()));
  EXPECT_FALSE(SetAutostart(true, ""));
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
