#include "media/media_type.h"

#include <gtest/gtest.h>


namespace {

// Each type the real-client suite shares is typed by the answers it checks; these are the
// lookups' edge cases and the answers no shared file of it gives.
TEST(MediaTypeTest, LookupsIgnoreCaseAndFallBackToAPlainItem) {
  for (const char* ext : {".MP3", "mp3"}) {
    EXPECT_STREQ(MediaType_MimeForExtension(ext), "audio/mpeg") << ext;
    EXPECT_EQ(MediaType_ClassForExtension(ext), kClassAudioItem) << ext;
  }
  for (const std::string& ext : {std::string(".xyz"), std::string(), std::string(40, 'x')})
    EXPECT_STREQ(MediaType_MimeForExtension(ext), "application/octet-stream") << ext;
  EXPECT_EQ(MediaType_ClassForExtension(".xyz"), kClassItem);
  EXPECT_EQ(MediaType_ClassString(0), "");
  EXPECT_STREQ(MediaType_MimeForStream("rtsp://iptv.home/channel1", kStreamVideo), "video/mpeg");
  EXPECT_STREQ(MediaType_MimeForStream("rtsp://iptv.hom", kStreamVideo), "video/x-ms-avi");
  EXPECT_STREQ(MediaType_DlnaFourthField("/a/b.tb", "image/png"), "DLNA.ORG_OP=01");
  // The MIME type is compared with its case.
  EXPECT_STREQ(MediaType_DlnaFourthField("", "AUDIO/MPEG"), "DLNA.ORG_OP=01");
}

}  // namespace
