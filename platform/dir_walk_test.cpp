#include "platform/dir_walk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/limits.h"
#include "platform/testing/test_support.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using testing::TempDir;
using testing::WriteFile;

// Loops through links are proven by the scanner's walk over a tree with a loop in it;
// these are the listing's own promises.
TEST(DirWalkTest, ListsFilesAndDirectoriesSortedWithTheirAttributes) {
  TempDir dir;
  WriteFile(dir.Join("b.mp3"), "12345");
  WriteFile(dir.Join(".hidden.jpg"), "x");
  std::filesystem::create_directory(dir.Join("sub"));
  ASSERT_EQ(::symlink("sub", dir.Join("link_to_sub").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", dir.Join("broken").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.Join("pipe.mp3").c_str(), 0644), 0);

  // The broken link and the FIFO are left out; a trailing slash changes no path.
  DirListing listing = ListDirectory(dir.path() + "/");
  EXPECT_EQ(listing.error, 0);
  std::vector<std::string> names;
  for (const DirEntry& e : listing.entries) names.push_back(e.name);
  ASSERT_THAT(names, ElementsAre(".hidden.jpg", "b.mp3", "link_to_sub", "sub"));
  const std::vector<DirEntry>& e = listing.entries;
  EXPECT_EQ(e[1].path, dir.Join("b.mp3"));
  EXPECT_EQ(e[1].size, 5);
  EXPECT_GT(e[1].modifiedTime, 0);
  EXPECT_TRUE(e[0].isHidden && !e[1].isHidden);
  EXPECT_TRUE(!e[1].isDirectory && e[2].isDirectory && e[3].isDirectory);
  EXPECT_TRUE(!e[1].isSymlink && e[2].isSymlink && !e[3].isSymlink);

  EXPECT_EQ(ListDirectory(dir.Join("missing")).error, ENOENT);
  EXPECT_EQ(ListDirectory(dir.Join("b.mp3")).error, ENOTDIR);
}

TEST(DirWalkTest, GuardStopsAtTheDepthLimit) {
  TempDir dir;
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
