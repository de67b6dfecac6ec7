#include "platform/app_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/testing/test_support.h"

namespace platform {
namespace {

// The choice in its order of precedence, each result absolute without a trailing slash;
// the user's data folder follows XDG_DATA_HOME only when absolute, else HOME, else the
// password entry. The environment is put back afterwards.
TEST(AppDirectoryTest, HomeOptionThenEnvironmentThenTheUsersDataFolder) {
  testing::TempDir dir;
  const std::string home = std::getenv("HOME");
  ::setenv("MIRELLE_HOME", dir.Join("env/").c_str(), 1);
  InitAppDirectory(dir.path() + "/./option/");
  EXPECT_EQ(AppDirectory(), dir.Join("option"));
  EXPECT_EQ(AppPath("Orvex.mdb"), dir.Join("option/Orvex.mdb"));
  InitAppDirectory("");
  EXPECT_EQ(AppDirectory(), dir.Join("env"));
  ::unsetenv("MIRELLE_HOME");
  ::setenv("XDG_DATA_HOME", dir.Join("data").c_str(), 1);
  InitAppDirectory("");  // the test's own folder holds no MIME table: no build tree
  EXPECT_EQ(AppDirectory(), dir.Join("data/orvex"));
  ::setenv("XDG_DATA_HOME", "relative", 1);
  ::setenv("HOME", dir.path().c_str(), 1);
  InitAppDirectory("");
  EXPECT_EQ(AppDirectory(), dir.Join(".local/share/orvex"));
  ::setenv("HOME", "", 1);
  InitAppDirectory("");
  EXPECT_EQ(AppDirectory().rfind("/.local/share/orvex"), AppDirectory().size() - 19);
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", home.c_str(), 1);

  // A user's own copy of a shipped file is preferred; else the one beside the program.
  // Making the directory, and refusing a file in its way, is the package's test.
  InitAppDirectory(dir.path());
  EXPECT_EQ(ProgramFilePath("mime.types"), ExecutableDirectory() + "/mime.types");
  testing::WriteFile(dir.Join("mime.types"), "text/plain txt\n");
  EXPECT_EQ(ProgramFilePath("mime.types"), dir.Join("mime.types"));
  EXPECT_EQ(ExecutablePath().rfind(ExecutableDirectory() + "/", 0), 0u);
}

}  // namespace
}  // namespace platform
