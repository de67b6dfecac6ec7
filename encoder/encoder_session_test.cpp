// The encoder program's faults that clients cannot provoke: a source it cannot read and a
// parent that dies. Conversions are proven by the real-client suites, stopping by the
// abort storm.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/process.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"
#include "transcode/transcode_limits.h"
#include "transcode/transcode_ring.h"
#include "transcode/transcode_session.h"

namespace {

namespace tl = transcode_limits;
using platform::testing::ReadFile;
using platform::testing::TempDir;
using platform::testing::WaitUntil;

constexpr const char* kEncoderDir = ORVEX_ENCODER_DIR;

class EncoderSessionTest : public ::testing::Test {
 protected:
  TempDir dir_;
  platform::testing::LogCapture log_;
};

TEST_F(EncoderSessionTest, UnreadableSourceEndsPromptlyWithAnEmptyStream) {
  TranscodeConfig config = Transcode_DefaultConfig();
  config.encoderDirectory = kEncoderDir;
  Transcode_SetConfig(config);
  TranscodeSessionPtr session = TranscodeStart(dir_.Join("missing.wmv"), "video/x-ms-wmv");
  ASSERT_NE(session, nullptr);
  uint64_t begin = platform::TickCountMs();
  uint8_t buffer[4096];
  EXPECT_EQ(TranscodeRead(session.get(), buffer, sizeof buffer), 0u);
  EXPECT_LT(platform::TickCountMs() - begin, 5000u);
  TranscodeStop(std::move(session));
  Transcode_SetConfig(Transcode_DefaultConfig());
}

// The encoder's parent is a shell that is killed; this process adopts the orphan and
// sees it exit.
TEST_F(EncoderSessionTest, EncoderExitsWhenItsParentDies) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  std::string suffix = std::to_string(getpid());
  std::string areaName = "orvextest_area_" + suffix;
  std::string mutexName = "orvextest_m" + suffix;
  transcode::SharedArea area;
  transcode::SharedMutex mutex;
  ASSERT_EQ(area.Create(areaName, tl::kAreaSize), 0);
  ASSERT_EQ(mutex.Create(mutexName), 0);
  transcode::RingView(area.Data(), tl::kRingSize).Initialize(mutexName);

  // A source ffmpeg blocks on: a FIFO nobody writes.
  std::string stalled = dir_.Join("stalled.mp4");
  mkfifo(stalled.c_str(), 0600);
  std::string pidFile = dir_.Join("pid");
  platform::Process shell;
  ASSERT_EQ(shell.Start("/bin/sh", {"-c", "\"$0\" \"$@\" & echo $! > " + pidFile + "; wait",
                                    std::string(kEncoderDir) + "/" + tl::kEncoderFileName, "-i",
                                    stalled, "-f", "mp3", "mmap:" + areaName}),
            0);
  ASSERT_TRUE(WaitUntil([&] { return !ReadFile(pidFile).empty(); }));
  pid_t encoder = static_cast<pid_t>(std::stol(ReadFile(pidFile)));
  // Once the area is mapped the encoder has taken note of its parent.
  std::string maps = "/proc/" + std::to_string(encoder) + "/maps";
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(maps).find(areaName) != std::string::npos; }));
  shell.Terminate(1000);

  int status = 0;
  bool reaped = WaitUntil([&] { return waitpid(encoder, &status, WNOHANG) == encoder; }, 10000);
  if (!reaped) kill(encoder, SIGKILL);
  EXPECT_TRUE(reaped);
  // Anything else that was orphaned to this process is collected too.
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
