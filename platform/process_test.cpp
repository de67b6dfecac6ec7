#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "gtest/gtest.h"
#include "platform/testing/test_support.h"

namespace platform {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WaitUntil;

// True when `pid` is no child of ours any more (reaped, so not a zombie).
bool IsReaped(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD;
}

// Every way a child ends leaves no zombie: its own exit, a terminate (seen from another
// thread too), a kill after the grace time, and the end of its handle. A start that fails
// leaves no child and the object usable.
TEST(ProcessTest, EveryEndOfAChildIsReportedAndReaped) {
  Process p;
  EXPECT_EQ(p.Start("/bin/true", {}, {"/nonexistent/dir", {}, {}}), ENOENT);
  EXPECT_TRUE(!p.IsRunning() && p.Wait(0) && p.Terminate(10) == std::nullopt);
  ASSERT_EQ(p.Start("/bin/sh", {"-c", "exit 3"}), 0);
  pid_t pid = p.Pid();
  ASSERT_TRUE(p.Wait(10000));
  EXPECT_EQ(p.ExitCode(), 3);
  EXPECT_EQ(p.Pid(), 0);
  EXPECT_TRUE(IsReaped(pid));
  // A failed start forgets the child before it.
  EXPECT_EQ(p.Start("/nonexistent/program", {}), ENOENT);
  EXPECT_EQ(p.ExitCode(), std::nullopt);

  ASSERT_EQ(p.Start("/bin/sleep", {"30"}), 0);
  pid = p.Pid();
  EXPECT_EQ(p.ExitCode(), std::nullopt);
  EXPECT_FALSE(p.Wait(30));
  EXPECT_EQ(p.Start("/bin/true", {}), EBUSY);
  std::optional<int> seen;
  std::thread watcher([&] {
    WaitUntil([&] { return !p.IsRunning(); }, 10000);
    seen = p.ExitCode();
  });
  EXPECT_EQ(p.Terminate(5000), 128 + SIGTERM);
  watcher.join();
  EXPECT_EQ(seen, 128 + SIGTERM);
  EXPECT_TRUE(IsReaped(pid));

  TempDir dir;
  ASSERT_EQ(p.Start("/bin/sh", {"-c", "trap '' TERM; : > ready; while :; do :; done"},
                    {dir.path(), {}, {}}),
            0);
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(dir.Join("ready")); }));
  pid = p.Pid();
  EXPECT_EQ(p.Terminate(200), 128 + SIGKILL);
  EXPECT_TRUE(IsReaped(pid));

  {
    Process dropped;
    ASSERT_EQ(dropped.Start("/bin/sleep", {"30"}), 0);
    pid = dropped.Pid();
  }
  EXPECT_TRUE(IsReaped(pid));
}

// A child let go at the end of the process is killed at once, and nothing of the handle
// waits for it afterwards. Its reaping is left to whoever reaps for the ended process:
// here the test.
TEST(ProcessTest, AnAbandonedChildIsKilledAndNeverWaitedFor) {
  Process p;
  ASSERT_EQ(p.Start("/bin/sh", {"-c", "trap '' TERM; while :; do sleep 1; done"}), 0);
  pid_t pid = p.Pid();
  p.Abandon();
  EXPECT_EQ(p.Pid(), 0);
  EXPECT_TRUE(!p.IsRunning() && p.Wait(-1) && p.Terminate(10000) == std::nullopt);
  int status = 0;
  ASSERT_TRUE(WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST(ProcessTest, ChildInheritsNoDescriptorsAndNoIgnoredSignals) {
  TempDir dir;
  int leaked = ::open(dir.path().c_str(), O_RDONLY);  // Deliberately without O_CLOEXEC.
  ASSERT_GE(leaked, 3);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved {};
  ::sigaction(SIGPIPE, &ignore, &saved);
  ProcessOptions options;
  options.output = Redirect::File(dir.Join("out.txt"));
  Process p;
  int rc = p.Start("/bin/sh",
                   {"-c", "[ -e /proc/$$/fd/" + std::to_string(leaked) +
                              " ] && echo leaked; grep SigIgn /proc/$$/status"},
                   options);
  ::sigaction(SIGPIPE, &saved, nullptr);
  ::close(leaked);
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(p.Wait(10000));
  std::string out = ReadFile(dir.Join("out.txt"));
  EXPECT_EQ(out.find("leaked"), std::string::npos);
  size_t colon = out.find(':');
  ASSERT_NE(colon, std::string::npos) << out;
  unsigned long long ignored = std::strtoull(out.c_str() + colon + 1, nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << out;
}

}  // namespace
}  // namespace platform
