#include "platform/dir_walk.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/limits.h"
#include "platform/test_support.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using testing::TempDir;
using testing::WriteFile;

std::vector<std::string> Names(const DirListing& listing) {
  std::vector<std::string> names;
  for (const DirEntry& e : listing.entries) names.push_back(e.name);
  return names;
}

const DirEntry* Find(const DirListing& listing, const std::string& name) {
  for (const DirEntry& e : listing.entries) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

// root/ b.mp3 (5 bytes), .hidden.jpg, sub/ (c.ogg, back -> ..), link_to_sub -> sub,
// broken -> nowhere, a fifo.
class DirWalkTest : public ::testing::Test {
 protected:
  DirWalkTest() {
    WriteFile(dir_.Join("b.mp3"), "12345");
    WriteFile(dir_.Join(".hidden.jpg"), "x");
    std::filesystem::create_directory(dir_.Join("sub"));
    WriteFile(dir_.Join("sub/c.ogg"), "abc");
    (void)!::symlink("..", dir_.Join("sub/back").c_str());
    (void)!::symlink("sub", dir_.Join("link_to_sub").c_str());
    (void)!::symlink("nowhere", dir_.Join("broken").c_str());
    (void)!::mkfifo(dir_.Join("pipe.mp3").c_str(), 0644);
  }
  TempDir dir_;
};

TEST_F(DirWalkTest, ListsFilesAndDirectoriesSortedWithTheirAttributes) {
  DirListing listing = ListDirectory(dir_.path());
  EXPECT_EQ(listing.error, 0);
  // The broken link and the FIFO are left out.
  EXPECT_THAT(Names(listing), ElementsAre(".hidden.jpg", "b.mp3", "link_to_sub", "sub"));

  const DirEntry* file = Find(listing, "b.mp3");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->path, dir_.Join("b.mp3"));
  EXPECT_FALSE(file->isDirectory);
  EXPECT_FALSE(file->isHidden);
  EXPECT_FALSE(file->isSymlink);
  EXPECT_EQ(file->size, 5);
  EXPECT_GT(file->modifiedTime, 0);

  EXPECT_TRUE(Find(listing, ".hidden.jpg")->isHidden);
  const DirEntry* link = Find(listing, "link_to_sub");
  EXPECT_TRUE(link->isDirectory);
  EXPECT_TRUE(link->isSymlink);
  EXPECT_TRUE(Find(listing, "sub")->isDirectory);
  EXPECT_FALSE(Find(listing, "sub")->isSymlink);
}

TEST_F(DirWalkTest, TrailingSlashGivesTheSamePathsAndUnreadableDirectoriesGiveAnError) {
  DirListing listing = ListDirectory(dir_.path() + "/");
  ASSERT_NE(Find(listing, "b.mp3"), nullptr);
  EXPECT_EQ(Find(listing, "b.mp3")->path, dir_.Join("b.mp3"));
  DirListing missing = ListDirectory(dir_.Join("missing"));
  EXPECT_EQ(missing.error, ENOENT);
  EXPECT_TRUE(missing.entries.empty());
  DirListing file = ListDirectory(dir_.Join("b.mp3"));
  EXPECT_EQ(file.error, ENOTDIR);
  EXPECT_TRUE(file.entries.empty());
}

TEST_F(DirWalkTest, DirectoryWithoutReadPermissionGivesAnError) {
  std::string locked = dir_.Join("locked");
  ASSERT_EQ(::mkdir(locked.c_str(), 0), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  auto check = [&] {
    DirListing listing = ListDirectory(locked);
    return listing.error == EACCES && listing.entries.empty();
  };
  if (::geteuid() != 0) {
    EXPECT_TRUE(check());
    return;
  }
  // Root reads every directory: look as an unprivileged user from a child process.
  pid_t pid = ::fork();
  if (pid == 0) {
    bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
    ::_exit(dropped && check() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A recursive walk as the scanner does it, recording the directories it enters.
void Walk(const std::string& path, DirWalkGuard& guard, std::vector<std::string>& entered,
          const std::string& relative) {
  DirWalkGuard::Scope scope(guard, path);
  if (!scope.Entered()) return;
  entered.push_back(relative);
  for (const DirEntry& e : ListDirectory(path).entries) {
    if (e.isDirectory) Walk(e.path, guard, entered, relative + "/" + e.name);
  }
}

TEST_F(DirWalkTest, SymbolicLinkLoopIsNotEnteredAgain) {
  DirWalkGuard guard;
  std::vector<std::string> entered;
  Walk(dir_.path(), guard, entered, "");
  // sub/back leads to the root, which is on the path; link_to_sub is a second way into
  // sub but no loop, so it is walked.
  EXPECT_THAT(entered, ElementsAre("", "/link_to_sub", "/sub"));
  EXPECT_EQ(guard.Depth(), 0u);
}

TEST_F(DirWalkTest, GuardRefusesFilesMissingPathsAndDirectoriesOnThePath) {
  DirWalkGuard guard;
  EXPECT_FALSE(guard.Enter(dir_.Join("b.mp3")));
  EXPECT_FALSE(guard.Enter(dir_.Join("missing")));
  ASSERT_TRUE(guard.Enter(dir_.path()));
  ASSERT_TRUE(guard.Enter(dir_.Join("sub")));
  EXPECT_FALSE(guard.Enter(dir_.Join("sub/back")));
  EXPECT_FALSE(guard.Enter(dir_.Join("link_to_sub")));
  guard.Leave();
  EXPECT_TRUE(guard.Enter(dir_.Join("link_to_sub")));  // sub is no longer on the path.
  EXPECT_EQ(guard.Depth(), 2u);
}

TEST_F(DirWalkTest, GuardStopsAtTheDepthLimit) {
  std::string path = dir_.Join("d");
  DirWalkGuard guard;
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
