// The directory listing and the file information the scanner reads. Loops through links
// are proven by the scanner's walk over a tree with a loop in it.
#include "platform/dir_walk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/file_info.h"
#include "platform/limits.h"
#include "platform/testing/test_support.h"

namespace platform {
namespace {

// A sparse file past 4 GiB takes no space but must keep its size; the broken link and the
// FIFO are left out; a trailing slash changes no path.
TEST(DirWalkTest, ListsFilesAndDirectoriesSortedWithTheirAttributes) {
  testing::TempDir dir;
  const int64_t big = (int64_t{1} << 32) + 5;
  testing::WriteFile(dir.Join("b.mp3"), "");
  ASSERT_EQ(::truncate(dir.Join("b.mp3").c_str(), big), 0);
  testing::WriteFile(dir.Join(".hidden.jpg"), "x");
  ASSERT_EQ(::mkdir(dir.Join("sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("sub", dir.Join("link_to_sub").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", dir.Join("broken").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.Join("pipe.mp3").c_str(), 0644), 0);

  DirListing listing = ListDirectory(dir.path() + "/");
  EXPECT_EQ(listing.error, 0);
  std::vector<std::string> names;
  for (const DirEntry& e : listing.entries) names.push_back(e.name);
  ASSERT_THAT(names, ::testing::ElementsAre(".hidden.jpg", "b.mp3", "link_to_sub", "sub"));
  const std::vector<DirEntry>& e = listing.entries;
  EXPECT_EQ(e[1].path, dir.Join("b.mp3"));
  EXPECT_EQ(e[1].size, big);
  EXPECT_EQ(FileSize64(dir.Join("b.mp3")), big);
  EXPECT_EQ(FileSize64(dir.Join("missing")), -1);
  EXPECT_GT(e[1].modifiedTime, 0);
  EXPECT_TRUE(e[0].isHidden && !e[1].isHidden);
  EXPECT_TRUE(!e[1].isDirectory && e[2].isDirectory && e[3].isDirectory);
  EXPECT_TRUE(!e[1].isSymlink && e[2].isSymlink && !e[3].isSymlink);
  EXPECT_TRUE(FileExists(dir.Join("b.mp3")) && !FileExists(dir.Join("sub")));

  EXPECT_EQ(ListDirectory(dir.Join("missing")).error, ENOENT);
  EXPECT_EQ(ListDirectory(dir.Join("b.mp3")).error, ENOTDIR);
}

TEST(DirWalkTest, GuardStopsAtTheDepthLimit) {
  testing::TempDir dir;
  std::string path = dir.Join("d");
  DirWalkGuard guard;
  EXPECT_FALSE(guard.Enter(dir.Join("missing")));
  size_t entered = 0;
  for (size_t level = 0; level <= kMaxWalkDepth; ++level) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    if (guard.Enter(path)) ++entered;
    path += "/d";
  }
  EXPECT_EQ(entered, kMaxWalkDepth);
}

}  // namespace
}  // namespace platform
