#include "delivery/encoder_source.h"

#include <sys/stat.h>

#include "gtest/gtest.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"
#include "transcode/transcode_limits.h"
#include "transcode/transcode_session.h"

namespace {

TEST(EncoderSource, IsAStreamThatEndsWithTheEncoderAndNeedsAnEncoder) {
  platform::testing::TempDir dir;
  platform::testing::LogCapture log;
  TranscodeConfig config = Transcode_DefaultConfig();
  config.encoderDirectory = dir.path();
  Transcode_SetConfig(config);
  EXPECT_EQ(EncoderSource_Open("/m/clip.wmv", "video/x-ms-wmv"), nullptr);

  std::string encoder = dir.Join(transcode_limits::kEncoderFileName);
  platform::testing::WriteFile(encoder, "#!/bin/sh\nexit 0\n");
  chmod(encoder.c_str(), 0755);
  std::unique_ptr<RpSource> source = EncoderSource_Open("/m/clip.wmv", "video/x-ms-wmv");
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(source->IsStream());
  EXPECT_EQ(source->Size(), -1);
  char buffer[16];
  EXPECT_EQ(source->Read(0, buffer, sizeof buffer), 0);
  // The encoder has ended: releasing does not wait for an acknowledgement.
  uint64_t begin = platform::TickCountMs();
  source.reset();
  EXPECT_LT(platform::TickCountMs() - begin, 1000u);

  Transcode_SetConfig(Transcode_DefaultConfig());
}

}  // namespace
