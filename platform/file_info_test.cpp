#include "platform/file_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "gtest/gtest.h"
#include "platform/testing/test_support.h"

namespace platform {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(FileInfoTest, TellsFilesFromDirectoriesAndSizesAreSixtyFourBit) {
  TempDir dir;
  WriteFile(dir.Join("a.mp3"), "abc");
  ASSERT_EQ(::symlink("a.mp3", dir.Join("link.mp3").c_str()), 0);
  EXPECT_TRUE(FileExists(dir.Join("a.mp3")) && FileExists(dir.Join("link.mp3")));
  EXPECT_FALSE(FileExists(dir.path()) || FileExists(dir.Join("missing")));
  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_FALSE(DirectoryExists(dir.Join("a.mp3")) || DirectoryExists(dir.Join("missing")));
  EXPECT_EQ(FileSize64(dir.Join("a.mp3")), 3);
  EXPECT_EQ(FileSize64(dir.Join("missing")), -1);
  // A sparse file past 4 GiB takes no space but must keep its size.
  std::string big = dir.Join("big");
  const int64_t size = (int64_t{1} << 32) + 5;
  ASSERT_EQ(::truncate((WriteFile(big, ""), big).c_str(), size), 0);
  EXPECT_EQ(FileSize64(big), size);
}

}  // namespace
}  // namespace platform
