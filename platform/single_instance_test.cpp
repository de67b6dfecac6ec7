#include "platform/single_instance.h"

#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "gtest/gtest.h"
#include "platform/limits.h"
#include "platform/process.h"
#include "platform/test_support.h"

namespace platform {
namespace {

using testing::TempDir;
using testing::WaitUntil;

struct Counter {
  std::atomic<int> calls{0};
  std::function<void()> Callback() {
    return [this] { calls.fetch_add(1); };
  }
};

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

TEST(SingleInstanceTest, SecondCopiesAreToldToExitAndFirstShowsItsWindowForEach) {
  TempDir dir;
  Counter shows;
  bool another = true;
  auto first = SingleInstance::Acquire(dir.path(), shows.Callback(), &another);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(another);
  EXPECT_TRUE(first->IsListening());
  EXPECT_TRUE(PathExists(dir.Join(kInstanceSocketName)));
  // The same directory reached by another spelling must give the same socket.
  EXPECT_EQ(SingleInstance::SocketAddressFor(dir.path() + "/."),
            std::filesystem::canonical(dir.path()).string() + "/" + kInstanceSocketName);

  EXPECT_EQ(SingleInstance::Acquire(dir.path(), nullptr, &another), nullptr);
  EXPECT_TRUE(another);
  EXPECT_EQ(AcquireInChild(dir.path()), 0);
  EXPECT_EQ(AcquireInChild(dir.path()), 0);
  EXPECT_TRUE(WaitUntil([&] { return shows.calls.load() == 3; }));
}

TEST(SingleInstanceTest, EndedCopyLeavesNothingThatStopsTheNext) {
  TempDir dir;
  bool another = true;
  auto first = SingleInstance::Acquire(dir.path(), nullptr, &another);
  ASSERT_NE(first, nullptr);
  first.reset();
  EXPECT_FALSE(PathExists(dir.Join(kInstanceSocketName)));
  EXPECT_EQ(AcquireInChild(dir.path()), 1);
  auto again = SingleInstance::Acquire(dir.path(), nullptr, &another);
  EXPECT_NE(again, nullptr);
  EXPECT_FALSE(another);
}

TEST(SingleInstanceTest, KilledCopysStaleSocketDoesNotStopTheNextStart) {
  TempDir dir;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    bool another = false;
    auto guard = SingleInstance::Acquire(dir.path(), nullptr, &another);
    char c = guard ? 'y' : 'n';
    (void)!::write(ready[1], &c, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(c, 'y');
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ASSERT_TRUE(PathExists(dir.Join(kInstanceSocketName)));  // Left behind by the kill.

  Counter shows;
  bool another = true;
  auto next = SingleInstance::Acquire(dir.path(), shows.Callback(), &another);
  ASSERT_NE(next, nullptr);
  EXPECT_FALSE(another);
  EXPECT_TRUE(next->IsListening());
  EXPECT_EQ(AcquireInChild(dir.path()), 0);
  EXPECT_TRUE(WaitUntil([&] { return shows.calls.load() == 1; }));
}

TEST(SingleInstanceTest, LongDirectoryUsesAnAbstractSocket) {
  TempDir dir;
  std::string deep = dir.path();
  while (deep.size() <= kMaxSocketPathLength) deep += "/a-rather-long-directory-name";
  ASSERT_TRUE(std::filesystem::create_directories(deep));
  std::string address = SingleInstance::SocketAddressFor(deep);
  ASSERT_FALSE(address.empty());
  EXPECT_EQ(address[0], '\0');
  EXPECT_NE(address, SingleInstance::SocketAddressFor(deep + "/a-rather-long-directory-name"));

  Counter shows;
  bool another = true;
  auto first = SingleInstance::Acquire(deep, shows.Callback(), &another);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->IsListening());
  EXPECT_FALSE(PathExists(deep + "/" + kInstanceSocketName));
  EXPECT_EQ(AcquireInChild(deep), 0);
  EXPECT_TRUE(WaitUntil([&] { return shows.calls.load() == 1; }));
}

TEST(SingleInstanceTest, MissingDirectoryIsAFailureNotAnotherCopy) {
  TempDir dir;
  bool another = true;
  auto guard = SingleInstance::Acquire(dir.Join("missing"), nullptr, &another);
  EXPECT_EQ(guard, nullptr);
  EXPECT_FALSE(another);
}

TEST(SingleInstanceTest, ChildProcessesDoNotKeepTheLock) {
  TempDir dir;
  bool another = true;
  auto first = SingleInstance::Acquire(dir.path(), nullptr, &another);
  ASSERT_NE(first, nullptr);
  Process child;
  ASSERT_EQ(child.Start("/bin/sleep", {"30"}), 0);
  first.reset();
  // A child that inherited the lock would keep it after its parent let go.
  EXPECT_EQ(AcquireInChild(dir.path()), 1);
  child.Terminate(1000);
}

}  // namespace
}  // namespace platform
