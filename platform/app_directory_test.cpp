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

  // Made with its parents; a file in the way is refused with the reason.
  std::string error;
  InitAppDirectory(dir.Join("made/deep"));
  EXPECT_TRUE(PrepareAppDirectory(&error));
  testing::WriteFile(dir.Join("file"), "x");
  InitAppDirectory(dir.Join("file"));
  EXPECT_FALSE(PrepareAppDirectory(&error));
  EXPECT_EQ(error.rfind("cannot create the program directory " + dir.Join("file"), 0), 0u);

  // A user's own copy of a shipped file is preferred; else the one beside the program.
  InitAppDirectory(dir.Join("made/deep"));
  EXPECT_EQ(ProgramFilePath("mime.types"), ExecutableDirectory() + "/mime.types");
  testing::WriteFile(dir.Join("made/deep/mime.types"), "text/plain txt\n");
  EXPECT_EQ(ProgramFilePath("mime.types"), dir.Join("made/deep/mime.types"));
  EXPECT_EQ(ExecutablePath().rfind(ExecutableDirectory() + "/", 0), 0u);
}

}  // namespace
}  // namespace platform
