#include "transcode/transcode_rules.h"

#include <gtest/gtest.h>

#include "app/settings.h"

namespace {

// MP4 and Ogg becoming AVI and MP3, and which types are converted under each setting, are
// announced, fetched and probed by the real-client suite.
TEST(TranscodeRulesTest, OutputTypeAndAQualityRowForAnySetting) {
  EXPECT_EQ(Transcode_OutputMime("VIDEO/QUICKTIME"), "video/x-ms-avi");
  EXPECT_EQ(Transcode_OutputMime("audio/flac"), "audio/flac");
  const int saved = TransVideoQuality.load();
  TransVideoQuality = -1;  // an out-of-range setting still selects a quality row
  EXPECT_STREQ(Transcode_SelectedQuality().outputMime, "video/x-ms-avi");
  TransVideoQuality = saved;
}

}  // namespace
