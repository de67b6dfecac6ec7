#include "transcode/transcode_rules.h"

#include <gtest/gtest.h>

#include "app/settings.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"

namespace {

class TranscodeRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    savedEnable_ = TranscodingEnable.load();
    savedQuality_ = TransVideoQuality.load();
  }
  void TearDown() override {
    TranscodingEnable = savedEnable_;
    TransVideoQuality = savedQuality_;
  }
  void AddAvi(int32_t index, const std::string& path, int32_t flags) {
    ObjectRow row;
    row.MyIndex = index;
    row.pIndex = 4;
    row.ObjectType = 1;
    row.ProcessObjectType = 1;
    row.FilePath = path;
    row.FileName = "x.avi";
    row.FileType = "Video";
    row.Flags = flags;
    ASSERT_TRUE(db_execute(sql::InsertObject(row)));
  }
  TempLibrary lib_;
  int savedEnable_ = 0;
  int savedQuality_ = 0;
};

TEST_F(TranscodeRulesTest, SettingAddsTheMpegFamilyToTheAlwaysTranscodedTypes) {
  struct Case {
    const char* mime;
    int off, on;
  } cases[] = {{"VIDEO/MP4", 1, 1},        {"audio/x-ogg", 1, 1},    {"video/mpg", 0, 1},
               {"video/ts", 0, 1},         {"video/x-ms-avi", 0, 1}, {"audio/mpeg", 0, 0},
               {"video/x-matroska", 0, 0}, {"video/mpeg2", 0, 0}};
  for (const Case& c : cases) {
    TranscodingEnable = 0;
    EXPECT_EQ(Transcode_NeedsTranscodeByMime(c.mime), c.off) << c.mime;
    TranscodingEnable = 1;
    EXPECT_EQ(Transcode_NeedsTranscodeByMime(c.mime), c.on) << c.mime;
  }
  EXPECT_EQ(Transcode_NeedsTranscode("/m/clip.MPG"), 1);
  TranscodingEnable = 0;
  EXPECT_EQ(Transcode_NeedsTranscode("/m/clip.mpg"), 0);
  EXPECT_EQ(Transcode_NeedsTranscode("/m/clip.wmv"), 1);
}

TEST_F(TranscodeRulesTest, MarkedAviIsTranscodedWhateverTheSetting) {
  TranscodingEnable = 0;
  AddAvi(100, "/m/dx50.avi", kFlagNonDivxAvi);
  AddAvi(101, "/m/xvid.avi", 0);
  EXPECT_EQ(Transcode_IsMarkedAvi("/m/dx50.avi"), 1);
  EXPECT_EQ(Transcode_NeedsTranscode("/m/dx50.avi"), 1);
  EXPECT_EQ(Transcode_IsMarkedAvi("/m/xvid.avi"), 0);
  EXPECT_EQ(Transcode_NeedsTranscode("/m/xvid.avi"), 0);
  EXPECT_EQ(Transcode_IsMarkedAvi("/m/unknown.avi"), 0);
  // A dot in a folder name is no extension.
  EXPECT_EQ(Transcode_IsMarkedAvi("/m/folder.avi/file"), 0);
}

TEST_F(TranscodeRulesTest, OutputTypeAndFourthField) {
  // MP4 and Ogg becoming AVI and MP3 are announced and probed by the real-client suite.
  EXPECT_EQ(Transcode_OutputMime("VIDEO/QUICKTIME"), "video/x-ms-avi");
  EXPECT_EQ(Transcode_OutputMime("audio/flac"), "audio/flac");
  TransVideoQuality = -1;  // an out-of-range setting still selects a quality row
  EXPECT_STREQ(Transcode_SelectedQuality().outputMime, "video/x-ms-avi");
}

}  // namespace
