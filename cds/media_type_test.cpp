#include "media/media_type.h"

#include <gtest/gtest.h>

#include "app/settings.h"
#include "cds/protocol_info.h"
#include "library/build/scan_test_support.h"
#include "library/testing/temp_library.h"
#include "platform/path.h"

namespace {

TEST(MediaTypeTest, ExtensionLookupIgnoresCaseAndLeadingDot) {
  for (const char* ext : {".mp3", ".MP3", "mp3", "Mp3"}) {
    EXPECT_STREQ(MediaType_MimeForExtension(ext), "audio/mpeg") << ext;
    EXPECT_EQ(MediaType_ClassForExtension(ext), kClassAudioItem) << ext;
  }
  EXPECT_STREQ(MediaType_MimeForExtension(platform::PathExtension("/m/Song.MP3")), "audio/mpeg");
}

TEST(MediaTypeTest, UnknownOrOverlongExtensionsFallBackToAPlainItem) {
  for (const std::string& ext : {std::string(".xyz"), std::string(), std::string(40, 'x')}) {
    EXPECT_STREQ(MediaType_MimeForExtension(ext), "application/octet-stream") << ext;
  }
  EXPECT_EQ(MediaType_ClassForExtension(".xyz"), kClassItem);
  EXPECT_EQ(MediaType_ClassString(0x8000 | (8 << 10) | (8 << 6)),
            "object.item.audioItem.musicTrack");
  EXPECT_EQ(MediaType_ClassString(0), "");
}

TEST(MediaTypeTest, StreamMimeTypes) {
  EXPECT_STREQ(MediaType_MimeForStream("rtsp://iptv.home/channel1", kStreamVideo), "video/mpeg");
  EXPECT_STREQ(MediaType_MimeForStream("rtsp://iptv.hom", kStreamVideo), "video/x-ms-avi");
  EXPECT_STREQ(MediaType_MimeForStream("http://x/y", 7), "application/octet-stream");
}

TEST(MediaTypeTest, FourthFieldDependsOnExtensionAndExactMime) {
  EXPECT_STREQ(MediaType_DlnaFourthField("/a/b.PNG", "image/png"),
               "DLNA.ORG_PN=PNG_TN;DLNA.ORG_OP=01");
  EXPECT_STREQ(MediaType_DlnaFourthField("/a/b.tb", "image/png"), "DLNA.ORG_OP=01");
  // The MIME type is compared with its case.
  EXPECT_STREQ(MediaType_DlnaFourthField("", "AUDIO/MPEG"), "DLNA.ORG_OP=01");
}

TEST(MediaTypeTest, JpegProfileFollowsPixelWidth) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  struct Case {
    int w, h;
    const char* profile;
  } cases[] = {{48, 48, "JPEG_SM_ICO"}, {120, 120, "JPEG_LRG_ICO"}, {160, 1000, "JPEG_TN"},
               {1024, 2, "JPEG_MED"},   {642, 100, "JPEG_MED"},     {1026, 10, "JPEG_LRG"},
               {640, 480, "JPEG_SM"}};
  for (const Case& c : cases) {
    std::string path = lib.Path(std::to_string(c.w) + "x" + std::to_string(c.h) + ".jpg");
    ASSERT_TRUE(scan_test::Run(
        "ffmpeg -loglevel error -y -f lavfi -i color=c=red:s=" + std::to_string(c.w) + "x" +
        std::to_string(c.h) + " -frames:v 1 " + scan_test::Quote(path)));
    EXPECT_EQ(MediaType_DlnaFourthField(path, "image/jpeg"),
              "DLNA.ORG_PN=" + std::string(c.profile) + ";DLNA.ORG_OP=01")
        << path;
  }
  std::string bogus = lib.Path("bogus.jpg");
  scan_test::WriteText(bogus, "not a picture");
  EXPECT_STREQ(MediaType_DlnaFourthField(bogus, "image/jpeg"),
               "DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01");
  EXPECT_STREQ(MediaType_DlnaFourthField(lib.Path("missing.jpg"), "image/jpeg"),
               "DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01");
}

class ProtocolInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    saved_ = TranscodingEnable.load();
  }
  void TearDown() override { TranscodingEnable = saved_; }
  TempLibrary lib_;
  int saved_ = 0;
};

TEST_F(ProtocolInfoTest, WithoutCheckServesAsIs) {
  bool transcoded = true;
  EXPECT_EQ(MediaType_BuildProtocolInfo("/m/clip.wmv", ".wmv", false, &transcoded),
            "http-get:*:video/x-ms-wmv:DLNA.ORG_PN=WMVMED_BASE;DLNA.ORG_OP=01");
  EXPECT_FALSE(transcoded);
  EXPECT_EQ(MediaType_BuildProtocolInfo("/m/a.dvr-ms", ".dvr-ms", false),
            "http-get:*:application/octet-stream:DLNA.ORG_OP=01");
}

// A transcoded resource names what the encoder sends: MP3 for audio, AVI (MPEG-4 video,
// MP3 sound) or a copied MPEG program stream for video, none of them seekable.
TEST_F(ProtocolInfoTest, CheckAnnouncesEncoderOutput) {
  TranscodingEnable = 0;
  bool transcoded = false;
  const std::string avi = "http-get:*:video/x-ms-avi:DLNA.ORG_OP=00;DLNA.ORG_CI=1";
  EXPECT_EQ(MediaType_BuildProtocolInfo("/m/clip.wmv", ".wmv", true, &transcoded), avi);
  EXPECT_TRUE(transcoded);
  EXPECT_EQ(MediaType_BuildProtocolInfo("/m/clip.mpg", ".mpg", true, &transcoded),
            "http-get:*:video/mpg:DLNA.ORG_OP=01");
  EXPECT_FALSE(transcoded);
  TranscodingEnable = 1;
  EXPECT_EQ(MediaType_BuildProtocolInfo("/m/clip.mpg", ".mpg", true, &transcoded), avi);
  EXPECT_TRUE(transcoded);
  const std::string mp3 = "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=00;DLNA.ORG_CI=1";
  EXPECT_EQ(MediaType_BuildProtocolInfo("/m/song.ogg", ".ogg", true, &transcoded), mp3);
  EXPECT_EQ(MediaType_BuildStreamProtocolInfo("http://radio/x", kStreamAudio), mp3);
  EXPECT_EQ(MediaType_BuildStreamProtocolInfo("rtsp://iptv.home/c", kStreamVideo),
            "http-get:*:video/mpeg:DLNA.ORG_OP=00;DLNA.ORG_CI=1");
}

}  // namespace
