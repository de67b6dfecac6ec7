#include "platform/app_directory.h"

#include <gtest/gtest.h>

#include "platform/testing/test_support.h"

namespace {

TEST(AppDirectoryTest, ProgramFilesComeFromTheProgramDirectoryFirstThenBesideTheProgram) {
  platform::testing::TempDir home;
  platform::InitAppDirectory(home.path());
  EXPECT_EQ(platform::AppDirectory(), home.path());
  EXPECT_EQ(platform::ProgramFilePath("mime.types"),
            platform::ExecutableDirectory() + "/mime.types");
  platform::testing::WriteFile(home.Join("mime.types"), "text/plain txt\n");
  EXPECT_EQ(platform::ProgramFilePath("mime.types"), home.Join("mime.types"));
}

}  // namespace
