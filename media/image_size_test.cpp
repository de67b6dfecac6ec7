#include "media/image_size.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "media/media_fixtures.h"

namespace {

using media_test::RunFfmpeg;
using media_test::TempDir;

std::string MakePicture(const TempDir& dir, const std::string& name, int w, int h) {
  std::string path = dir.File(name);
  EXPECT_TRUE(
      RunFfmpeg({"-f", "lavfi", "-i", "testsrc=size=" + std::to_string(w) + "x" + std::to_string(h),
                 "-frames:v", "1", path}));
  return path;
}

TEST(ImageSize, ReadsJpegPngAndBmpSizes) {
  TempDir dir;
  struct Case {
    const char* name;
    int w;
    int h;
  };
  for (const Case& c : {Case{"a.jpg", 641, 100}, Case{"b.jpg", 48, 48}, Case{"c.png", 160, 1000},
                        Case{"d.bmp", 33, 17}}) {
    SCOPED_TRACE(c.name);
    int w = -1;
    int h = -1;
    EXPECT_TRUE(ImageSize(MakePicture(dir, c.name, c.w, c.h), &w, &h));
    EXPECT_EQ(w, c.w);
    EXPECT_EQ(h, c.h);
  }
}

TEST(ImageSize, UnreadableFilesAndFifosCountAsZeroByZeroWithoutBlocking) {
  TempDir dir;
  ASSERT_TRUE(media_test::WriteFileBytes(dir.File("text.jpg"), {'n', 'o', 't', '\n'}));
  std::vector<uint8_t> jpeg = media_test::ReadFileBytes(MakePicture(dir, "whole.jpg", 64, 64));
  jpeg.resize(10);
  ASSERT_TRUE(media_test::WriteFileBytes(dir.File("cut.jpg"), jpeg));
  ASSERT_EQ(::mkfifo(dir.File("pipe.jpg").c_str(), 0600), 0);
  for (const std::string& path : {dir.File("text.jpg"), dir.File("cut.jpg"),
                                  dir.File("missing.jpg"), dir.File("pipe.jpg"), dir.path()}) {
    SCOPED_TRACE(path);
    int w = 5;
    int h = 5;
    EXPECT_FALSE(ImageSize(path, &w, &h));
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
  }
}

TEST(ImageSize, NamesWithBracketsAreReadAsPlainNames) {
  TempDir dir;
  std::string path = MakePicture(dir, "plain.png", 20, 10);
  std::string odd = dir.File("photo.png[shrink=2]");
  ASSERT_EQ(::rename(path.c_str(), odd.c_str()), 0);
  int w = 0;
  int h = 0;
  EXPECT_TRUE(ImageSize(odd, &w, &h));
  EXPECT_EQ(w, 20);
  EXPECT_EQ(h, 10);
}

}  // namespace
