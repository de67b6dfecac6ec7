#include "platform/single_instance.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "gtest/gtest.h"
#include "platform/limits.h"
#include "platform/testing/test_support.h"

namespace platform {
namespace {

using testing::TempDir;
using testing::WaitUntil;

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Runs Acquire in a forked child; the child's exit status says what it learnt:
// 0 another copy runs, 1 it became the first copy, 2 the guard failed.
int AcquireInChild(const std::string& directory) {
  pid_t pid = ::fork();
  if (pid == 0) {
    bool another = false;
    auto guard = SingleInstance::Acquire(directory, nullptr, &another);
    ::_exit(another ? 0 : (guard ? 1 : 2));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Addresses name the directory however it is spelt; a directory whose socket path would
// not fit gets an abstract socket of its own. The plain case is proven with the next test
// and by the program's own second-copy test.
TEST(SingleInstanceTest, DeepDirectoryGetsAnAbstractSocketAndSecondCopiesAreTurnedAway) {
  TempDir dir;
  std::string deep = dir.path();
  while (deep.size() <= kMaxSocketPathLength) deep += "/a-rather-long-directory-name";
  ASSERT_TRUE(std::filesystem::create_directories(deep));
  EXPECT_EQ(SingleInstance::SocketAddressFor(dir.path() + "/."),
            std::filesystem::canonical(dir.path()).string() + "/" + kInstanceSocketName);
  EXPECT_EQ(SingleInstance::SocketAddressFor(deep)[0], '\0');
  EXPECT_NE(SingleInstance::SocketAddressFor(deep),
            SingleInstance::SocketAddressFor(deep + "/a-rather-long-directory-name"));

  std::atomic<int> shows{0};
  bool another = true;
  auto first = SingleInstance::Acquire(
      deep, [&] { ++shows; }, &another);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(another);
  EXPECT_FALSE(PathExists(deep + "/" + kInstanceSocketName));
  EXPECT_EQ(SingleInstance::Acquire(deep, nullptr, &another), nullptr);
  EXPECT_TRUE(another);
  EXPECT_EQ(AcquireInChild(deep), 0);
  EXPECT_TRUE(WaitUntil([&] { return shows.load() == 2; }));
}

// A copy that ends without cleaning up (killed, or here by _exit) leaves its socket file
// behind; a program it started holds no descriptor of the guard (the process test proves
// that children inherit none). Neither may stop the next start.
TEST(SingleInstanceTest, ACopyThatDiedDoesNotStopTheNextStart) {
  TempDir dir;
  ASSERT_EQ(AcquireInChild(dir.path()), 1);
  ASSERT_TRUE(PathExists(dir.Join(kInstanceSocketName)));
  std::atomic<int> shows{0};
  bool another = true;
  auto next = SingleInstance::Acquire(
      dir.path(), [&] { ++shows; }, &another);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(AcquireInChild(dir.path()), 0);
  EXPECT_TRUE(WaitUntil([&] { return shows.load() == 1; }));
  next.reset();
  EXPECT_FALSE(PathExists(dir.Join(kInstanceSocketName)));
  EXPECT_EQ(SingleInstance::Acquire(dir.Join("missing"), nullptr, &another), nullptr);
  EXPECT_FALSE(another) << "a missing directory is a failure, not another copy";
}

}  // namespace
}  // namespace platform
