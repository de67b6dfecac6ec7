#include "media/media_type.h"

#include <gtest/gtest.h>

#include "app/settings.h"
#include "cds/protocol_info.h"
#include "library/testing/temp_library.h"
#include "platform/testing/test_support.h"

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

TEST(MediaTypeTest, JpegProfileFollowsPixelWidth) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  const std::pair<const char*, const char*> cases[] = {
      {"48x48", "JPEG_SM_ICO"}, {"120x120", "JPEG_LRG_ICO"}, {"160x1000", "JPEG_TN"},
      {"642x100", "JPEG_MED"},  {"1026x10", "JPEG_LRG"},     {"640x480", "JPEG_SM"}};
  for (const auto& [size, profile] : cases) {
    std::string path = lib.Path(std::string(size) + ".jpg");
    ASSERT_TRUE(platform::testing::RunFfmpeg(
        {"-f", "lavfi", "-i", std::string("color=c=red:s=") + size, "-frames:v", "1", path}));
    EXPECT_EQ(MediaType_DlnaFourthField(path, "image/jpeg"),
              "DLNA.ORG_PN=" + std::string(profile) + ";DLNA.ORG_OP=01")
        << path;
  }
  platform::testing::WriteFile(lib.Path("bogus.jpg"), "not a picture");
  for (const char* name : {"bogus.jpg", "missing.jpg"})
    EXPECT_STREQ(MediaType_DlnaFourthField(lib.Path(name), "image/jpeg"),
                 "DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01");
}

// A transcoded resource names what the encoder sends: MP3 for audio, AVI (MPEG-4 video,
// MP3 sound) or a copied MPEG program stream for video, none of them seekable.
TEST(MediaTypeTest, ProtocolInfoAnnouncesTheEncoderOutputOnlyWhenChecked) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  const int saved = TranscodingEnable.load();
  bool transcoded = true;
  EXPECT_EQ(MediaType_BuildProtocolInfo("/m/clip.wmv", ".wmv", false, &transcoded),
            "http-get:*:video/x-ms-wmv:DLNA.ORG_PN=WMVMED_BASE;DLNA.ORG_OP=01");
  EXPECT_FALSE(transcoded);
  const std::string avi = "http-get:*:video/x-ms-avi:DLNA.ORG_OP=00;DLNA.ORG_CI=1";
  TranscodingEnable = 0;
  EXPECT_EQ(MediaType_BuildProtocolInfo("/m/clip.mpg", ".mpg", true, &transcoded),
            "http-get:*:video/mpg:DLNA.ORG_OP=01");
  EXPECT_FALSE(transcoded);
  TranscodingEnable = 1;
  EXPECT_EQ(MediaType_BuildProtocolInfo("/m/clip.mpg", ".mpg", true, &transcoded), avi);
  EXPECT_TRUE(transcoded);
  EXPECT_EQ(MediaType_BuildStreamProtocolInfo("http://radio/x", kStreamAudio),
            "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=00;DLNA.ORG_CI=1");
  EXPECT_EQ(MediaType_BuildStreamProtocolInfo("rtsp://iptv.home/c", kStreamVideo),
            "http-get:*:video/mpeg:DLNA.ORG_OP=00;DLNA.ORG_CI=1");
  TranscodingEnable = saved;
}

}  // namespace
