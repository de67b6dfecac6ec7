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

TEST_F(TranscodeSessionTest, MissingEncoderFailsTheStartAndAnEndedOneIsNotWaitedFor) {
  Transcode_SetNextSlot(610);
  EXPECT_EQ(TranscodeStart("/m/clip.wmv", "video/x-ms-wmv"), nullptr);
  EXPECT_NE(Log().find("Transcoding Thread Start fail...\n"), std::string::npos);
  EXPECT_FALSE(SharedObjectExists("_tarnwick_trans_610"));
  EXPECT_FALSE(SharedObjectExists("_tarnwick_mutex_610"));
  // A failed start does not use up the slot.
  EXPECT_EQ(Transcode_NextSlot(), 610);

  // An encoder that has ended is not waited for: its stream ends and the stop is quick.
  WriteEncoder("exit 0");
  TranscodeSessionPtr session = TranscodeStart("/m/clip.wmv", "video/x-ms-wmv");
  ASSERT_NE(session, nullptr);
  uint8_t buffer[16];
  EXPECT_EQ(TranscodeRead(session.get(), buffer, sizeof buffer), 0u);
  uint64_t begin = platform::TickCountMs();
  TranscodeStop(std::move(session));
  EXPECT_LT(platform::TickCountMs() - begin, 250u);
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

// Slots wrap after 900 and pass over those in use, here or by another process (whose
// area is left alone).
TEST_F(TranscodeSessionTest, SlotsWrapAfter900AndSkipBusyOnes) {
  WriteEncoder("exec sleep 30");
  if (SharedObjectExists("_tarnwick_trans_900") || SharedObjectExists("_tarnwick_trans_701")) {
    GTEST_SKIP() << "the slots are held elsewhere";
  }
  transcode::SharedArea foreign;
  if (foreign.Create("_tarnwick_trans_700", 64) != 0) GTEST_SKIP() << "slot 700 is held";
  Transcode_SetNextSlot(900);
  TranscodeSessionPtr last = TranscodeStart("/m/a.mp4", "video/mp4");
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->slot, 900);
  EXPECT_EQ(Transcode_NextSlot(), 0);
  // Other test processes may hold the lowest slots; this one takes the first free one.
  TranscodeSessionPtr first = TranscodeStart("/m/b.mp4", "video/mp4");
  ASSERT_NE(first, nullptr);
  EXPECT_LT(first->slot, 900);
  EXPECT_EQ(Transcode_NextSlot(), first->slot + 1);
  Transcode_SetNextSlot(700);
  TranscodeSessionPtr beside = TranscodeStart("/m/d.mp4", "video/mp4");
  ASSERT_NE(beside, nullptr);
  EXPECT_EQ(beside->slot, 701);
  for (TranscodeSessionPtr* s : {&last, &first, &beside}) TranscodeStop(std::move(*s));
  EXPECT_TRUE(SharedObjectExists("_tarnwick_trans_700"));
}

}  // namespace
