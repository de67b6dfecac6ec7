
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>

#include "platform/process.h"
#include "platform/tick.h"

namespace {

using platform::RunToEnd;

TEST(RunToEndTest, ReportsTheExitCodeAndMissingProgramsAreNotStarted) {
  platform::RunResult result = RunToEnd({"sh", "-c", "exit 3"}, 10000);
  EXPECT_TRUE(result.started && result.exited && !result.timedOut);
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_FALSE(RunToEnd({"/nonexistent/program"}, 1000).started);
  EXPECT_FALSE(RunToEnd({"orvex-no-such-program-xyz"}, 1000).started);
  EXPECT_FALSE(RunToEnd({}, 1000).started);
}

TEST(RunToEndTest, ProgramPastItsTimeLimitIsStoppedAndReaped) {
  uint64_t start = platform::TickCountMs();
  platform::RunResult result = RunToEnd({"sleep", "30"}, 200);
  EXPECT_TRUE(result.started);
  EXPECT_TRUE(result.timedOut);
  EXPECT_FALSE(result.exited);
  EXPECT_LT(platform::TickCountMs() - start, 10000u);
  // Nothing is left to reap.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(RunToEndTest, ProgramIgnoringSigtermIsKilled) {
  uint64_t start = platform::TickCountMs();
  platform::RunResult result =
      RunToEnd({"sh", "-c", "trap '' TERM; while :; do sleep 1; done"}, 200);
  EXPECT_TRUE(result.timedOut);
  EXPECT_LT(platform::TickCountMs() - start, 15000u);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

}  // namespace
