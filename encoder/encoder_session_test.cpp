// The encoder program end to end: real sessions, real shared memory, the real
// ZerazU.eng and the real converter. The plain conversions of video and audio are proven
// by the program's first-light test, which probes the streams a client receives.
#include <errno.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
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

std::string EncoderPath() { return std::string(kEncoderDir) + "/" + tl::kEncoderFileName; }

// ffprobe's view of a file: "key=value" lines of the streams' codecs and tags and the
// container's format.
std::string Probe(const TempDir& dir, const std::string& file, const std::string& more = {}) {
  platform::Process probe;
  platform::ProcessOptions options;
  options.searchPath = true;
  options.output = platform::Redirect::File(dir.Join("probe.txt"));
  options.error = platform::Redirect::Null();
  if (probe.Start("ffprobe",
                  {"-v", "error", "-show_entries",
                   "stream=codec_name,codec_tag_string" + more + ":format=format_name", "-of",
                   "default=nw=1", file},
                  options) != 0) {
    return {};
  }
  if (!probe.Wait(30000) || probe.ExitCode() != 0) return {};
  return ReadFile(dir.Join("probe.txt"));
}

class EncoderSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TranscodeConfig config = Transcode_DefaultConfig();
    config.encoderDirectory = kEncoderDir;
    Transcode_SetConfig(config);
  }
  void TearDown() override { Transcode_SetConfig(Transcode_DefaultConfig()); }
  std::string Log() { return log_.Text(); }

  // Reads the session's stream to its end into `file`; the byte count.
  size_t Drain(TranscodeSession* session, const std::string& file) {
    std::ofstream out(file, std::ios::binary);
    std::vector<uint8_t> buffer(65536);
    size_t total = 0;
    for (;;) {
      size_t n = TranscodeRead(session, buffer.data(), buffer.size());
      if (n == 0) return total;
      out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(n));
      total += n;
    }
  }

  // A source ffmpeg blocks on: a FIFO nobody writes.
  std::string StalledSource() {
    std::string path = dir_.Join("stalled.mp4");
    mkfifo(path.c_str(), 0600);
    return path;
  }

  TempDir dir_;
  platform::testing::LogCapture log_;
};

// With the prefixes pointed at the test's folder, local files take the provider's and
// the video site's forms.
TEST_F(EncoderSessionTest, PrefixedSourcesAreCopiedOrScaled) {
  std::string source = dir_.Join("tv.mpg");
  ASSERT_TRUE(platform::testing::RunFfmpeg(
      {"-f", "lavfi", "-i", "testsrc=size=176x144:rate=25:duration=1", "-f", "lavfi", "-i",
       "sine=duration=1", "-c:v", "mpeg2video", "-c:a", "mp2", "-shortest", source}));
  struct Case {
    bool provider;
    const char* expected[2];
  } cases[] = {
      {true, {"codec_name=mpeg2video", "format_name=mpeg"}},
      {false, {"codec_tag_string=XVID", "width=320\nheight=240"}},
  };
  for (const Case& c : cases) {
    TranscodeConfig config = Transcode_Config();
    config.providerRtspPrefix = c.provider ? dir_.path() : "rtsp://iptv.home";
    config.youTubePrefix = c.provider ? "http://www.youtube.com" : dir_.path();
    Transcode_SetConfig(config);
    TranscodeSessionPtr session = TranscodeStart(source, "video/x-ms-wmv");
    ASSERT_NE(session, nullptr);
    std::string out = dir_.Join("out.bin");
    EXPECT_GT(Drain(session.get(), out), 1000u);
    TranscodeStop(std::move(session));
    std::string probe = Probe(dir_, out, ",width,height");
    for (const char* text : c.expected) {
      EXPECT_NE(probe.find(text), std::string::npos) << text << " in " << probe;
    }
  }
}

TEST_F(EncoderSessionTest, UnreadableSourceEndsPromptlyWithAnEmptyStream) {
  TranscodeSessionPtr session = TranscodeStart(dir_.Join("missing.wmv"), "video/x-ms-wmv");
  ASSERT_NE(session, nullptr);
  uint64_t begin = platform::TickCountMs();
  uint8_t buffer[4096];
  EXPECT_EQ(TranscodeRead(session.get(), buffer, sizeof buffer), 0u);
  EXPECT_LT(platform::TickCountMs() - begin, 5000u);
  TranscodeStop(std::move(session));
}

TEST_F(EncoderSessionTest, StopRequestIsAcknowledgedByTheEncoder) {
  TranscodeSessionPtr session = TranscodeStart(StalledSource(), "video/mp4");
  ASSERT_NE(session, nullptr);
  std::string area = "/dev/shm/" + session->sharedName;
  uint64_t begin = platform::TickCountMs();
  TranscodeStop(std::move(session));
  EXPECT_LT(platform::TickCountMs() - begin, static_cast<uint64_t>(tl::kStopAckLimitMs));
  EXPECT_NE(Log().find("Transcoding Thread Stop...\n"), std::string::npos);
  EXPECT_EQ(Log().find("did not stop"), std::string::npos) << Log();
  struct stat info {};
  EXPECT_NE(stat(area.c_str(), &info), 0);
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

  std::string pidFile = dir_.Join("pid");
  platform::Process shell;
  ASSERT_EQ(shell.Start("/bin/sh",
                        {"-c", "\"$0\" \"$@\" & echo $! > " + pidFile + "; wait", EncoderPath(),
                         "-i", StalledSource(), "-f", "mp3", "mmap:" + areaName}),
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
