#include "transcode/transcode_session.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"
#include "transcode/transcode_limits.h"

namespace {

namespace tl = transcode_limits;
using platform::testing::TempDir;
using platform::testing::WriteFile;

bool SharedObjectExists(const std::string& name) {
  struct stat info {};
  return stat(("/dev/shm/" + name).c_str(), &info) == 0;
}

// Sessions with a stand-in encoder: a shell script in a temporary program directory.
class TranscodeSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TranscodeConfig config = Transcode_DefaultConfig();
    config.encoderDirectory = dir_.path();
    config.stopAckLimitMs = 300;
    Transcode_SetConfig(config);
  }
  void TearDown() override { Transcode_SetConfig(Transcode_DefaultConfig()); }

  void WriteEncoder(const std::string& body) {
    std::string path = dir_.Join(tl::kEncoderFileName);
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
  }
  std::string Log() { return log_.Text(); }

  TempDir dir_;
  platform::testing::LogCapture log_;
};

// That each mode's line becomes the right conversion is proven by the encoder's own
// option test; here a quote or a trailing backslash in the source cannot end it early, and
// a line past the limit is not formed.
TEST(TranscodeCommandLine, SourceStaysOneArgumentAndOverlongLinesAreRefused) {
  Transcode_SetConfig(Transcode_DefaultConfig());
  const std::string line =
      Transcode_FormCommandLine("/m/say \"hi\"\\", TranscodeMode::kAudio, "_tarnwick_trans_004");
  EXPECT_EQ(line, "ZerazU.eng -i \"/m/say \\\"hi\\\"\\\\\" -f mp3 mmap:_tarnwick_trans_004 ");
  std::vector<std::string> args = platform::SplitCommandLine(line);
  ASSERT_EQ(args.size(), 6u);
  EXPECT_EQ(args[2], "/m/say \"hi\"\\");
  EXPECT_EQ(Transcode_FormCommandLine(std::string(1000, 'a'), TranscodeMode::kVideo, "x"), "");

  EXPECT_EQ(Transcode_ModeForMime("FORCE_AUDIO_TRANSCODE"), TranscodeMode::kAudio);
  EXPECT_EQ(Transcode_ModeForMime("audio/x-ogg"), TranscodeMode::kAudio);
  EXPECT_EQ(Transcode_ModeForMime("audio/mpeg"), TranscodeMode::kVideo);
}

// A hung encoder ends a read after the idle limit, and one that does not acknowledge the
// stop request is terminated after the stop limit.
TEST_F(TranscodeSessionTest, HungEncoderEndsReadsAndIsTerminatedAfterTheLimits) {
  WriteEncoder("exec sleep 30");
  TranscodeConfig config = Transcode_Config();
  config.idleReadLimitMs = 300;
  Transcode_SetConfig(config);
  TranscodeSessionPtr session = TranscodeStart("/m/a b.ogg", "audio/x-ogg");
  ASSERT_NE(session, nullptr);
  EXPECT_NE(Log().find("Transcoding Thread Start...\n"), std::string::npos);
  uint8_t buffer[16];
  uint64_t begin = platform::TickCountMs();
  EXPECT_EQ(TranscodeRead(session.get(), buffer, sizeof buffer), 0u);
  uint64_t elapsed = platform::TickCountMs() - begin;
  EXPECT_GE(elapsed, 300u);
  EXPECT_LT(elapsed, 1500u);

  pid_t pid = session->process.Pid();
  std::string area = session->sharedName;
  begin = platform::TickCountMs();
  TranscodeStop(std::move(session));
  elapsed = platform::TickCountMs() - begin;
  EXPECT_GE(elapsed, 300u);
  EXPECT_LT(elapsed, 300u + 2 * tl::kEncoderExitGraceMs + 1000);
  EXPECT_NE(Log().find("did not stop; terminating"), std::string::npos);
  EXPECT_EQ(kill(pid, 0), -1);  // ended and reaped
  EXPECT_FALSE(SharedObjectExists(area));
}

}  // namespace
