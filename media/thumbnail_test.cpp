#include "media/thumbnail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>
#include <tuple>

#include "media/media_fixtures.h"
#include "platform/app_directory.h"

namespace {

using media::Thumbnail_ComputeGeometry;
using media::ThumbnailGeometry;
using media_test::FileExists;
using media_test::ReadFileBytes;
using media_test::RunFfmpeg;
using media_test::TempDir;

// ---- Geometry ----

TEST(ThumbnailGeometry, PictureIsFittedIntoTheBoxClampedToItAndCentred) {
  struct Case {
    int w, h, boxW, boxH;
    ThumbnailGeometry expected;  // canvas width, height; draw x, y, width, height
  };
  const Case cases[] = {
      {1000, 500, 150, 150, {150, 150, 0, 37, 150, 75}},  // wide: bands above and below
      {300, 900, 320, 240, {300, 240, 110, 0, 80, 240}},  // tall; box clamped to 300 wide
      {100, 80, 150, 150, {100, 80, 0, 0, 100, 80}},      // small: kept as it is
      {20000, 10000, 100000, 100000, {4096, 4096, 0, 1024, 4096, 2048}},  // limited
      {10000, 1, 150, 150, {150, 1, 0, 0, 150, 1}},  // a sliver still draws one pixel
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " in " << c.boxW << "x" << c.boxH);
    ThumbnailGeometry g;
    ASSERT_TRUE(Thumbnail_ComputeGeometry(c.w, c.h, c.boxW, c.boxH, &g));
    EXPECT_EQ(std::tie(g.canvasWidth, g.canvasHeight, g.drawX, g.drawY, g.drawWidth, g.drawHeight),
              std::tie(c.expected.canvasWidth, c.expected.canvasHeight, c.expected.drawX,
                       c.expected.drawY, c.expected.drawWidth, c.expected.drawHeight));
  }
  ThumbnailGeometry g;
  EXPECT_FALSE(Thumbnail_ComputeGeometry(100, 100, 0, 150, &g));
  EXPECT_FALSE(Thumbnail_ComputeGeometry(100, 100, 150, -1, &g));
  EXPECT_FALSE(Thumbnail_ComputeGeometry(0, 100, 150, 150, &g));
}

// ---- Making thumbnails ----

struct Bitmap {
  bool valid = false;
  int width = 0;
  int height = 0;
  int32_t xPpm = 0;
  std::vector<uint8_t> bytes;
  // R, G, B of the pixel at x, y counted from the top.
  std::array<int, 3> Pixel(int x, int y) const {
    size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    size_t at = 54 + static_cast<size_t>(height - 1 - y) * stride + static_cast<size_t>(x) * 3;
    return {bytes[at + 2], bytes[at + 1], bytes[at]};
  }
};

int32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<int32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
                              (static_cast<uint32_t>(b[at + 3]) << 24));
}

Bitmap ReadBitmap(const std::string& path) {
  Bitmap bmp;
  bmp.bytes = ReadFileBytes(path);
  if (bmp.bytes.size() < 54 || bmp.bytes[0] != 'B' || bmp.bytes[1] != 'M') return bmp;
  bmp.width = Le32(bmp.bytes, 18);
  bmp.height = Le32(bmp.bytes, 22);
  bmp.xPpm = Le32(bmp.bytes, 38);
  size_t stride = (static_cast<size_t>(bmp.width) * 3 + 3) & ~size_t{3};
  bmp.valid = Le32(bmp.bytes, 2) == static_cast<int32_t>(bmp.bytes.size()) &&
              Le32(bmp.bytes, 10) == 54 && bmp.bytes[28] == 24 &&
              bmp.bytes.size() == 54 + stride * static_cast<size_t>(bmp.height);
  return bmp;
}

bool IsBlack(const std::array<int, 3>& p) { return p[0] < 16 && p[1] < 16 && p[2] < 16; }
bool IsWhite(const std::array<int, 3>& p) { return p[0] > 235 && p[1] > 235 && p[2] > 235; }

class ThumbnailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InitAppDirectory(home_.path());
    ASSERT_EQ(::mkdir(home_.File("thumbnail").c_str(), 0755), 0);
    media::Thumbnail_SetScaler("");
  }
  void TearDown() override { media::Thumbnail_SetScaler(""); }

  std::string Picture(const std::string& name, const std::string& source) {
    std::string path = pictures_.File(name);
    EXPECT_TRUE(RunFfmpeg({"-f", "lavfi", "-i", source, "-frames:v", "1", path}));
    return path;
  }
  std::string Thumb(const std::string& name) { return home_.File("thumbnail/" + name); }

  TempDir home_;
  TempDir pictures_;
};

TEST_F(ThumbnailTest, WideJpegBecomesABoxWithBlackBands) {
  std::string source = Picture("wide.jpg", "color=c=white:s=1000x500");
  MakeThumbnail(source, "12.tb", 150, 150);
  Bitmap bmp = ReadBitmap(Thumb("12.tb"));
  ASSERT_TRUE(bmp.valid);
  EXPECT_EQ(bmp.width, 150);
  EXPECT_EQ(bmp.height, 150);
  EXPECT_TRUE(IsBlack(bmp.Pixel(75, 0)));
  EXPECT_TRUE(IsBlack(bmp.Pixel(75, 36)));
  EXPECT_TRUE(IsWhite(bmp.Pixel(75, 37)));
  EXPECT_TRUE(IsWhite(bmp.Pixel(0, 75)));
  EXPECT_TRUE(IsWhite(bmp.Pixel(149, 111)));
  EXPECT_TRUE(IsBlack(bmp.Pixel(75, 112)));
  EXPECT_TRUE(IsBlack(bmp.Pixel(75, 149)));
}

TEST_F(ThumbnailTest, BmpSourceAndColoursAreKept) {
  std::string source = Picture("red.bmp", "color=c=red:s=64x32");
  MakeThumbnail(source, "3.bmp", 32, 32);
  Bitmap bmp = ReadBitmap(Thumb("3.bmp"));
  ASSERT_TRUE(bmp.valid);
  EXPECT_EQ(bmp.width, 32);
  EXPECT_EQ(bmp.height, 32);
  auto p = bmp.Pixel(16, 16);
  EXPECT_GT(p[0], 235);
  EXPECT_LT(p[1], 20);
  EXPECT_LT(p[2], 20);
  EXPECT_TRUE(IsBlack(bmp.Pixel(16, 7)));
}

TEST_F(ThumbnailTest, TransparencyBecomesBlackAndGreyBecomesRgb) {
  MakeThumbnail(Picture("clear.png", "color=c=white@0.0:s=40x20,format=rgba"), "1.tb", 150, 150);
  Bitmap clear = ReadBitmap(Thumb("1.tb"));
  ASSERT_TRUE(clear.valid);
  EXPECT_TRUE(IsBlack(clear.Pixel(20, 10)));
  MakeThumbnail(Picture("grey.png", "color=c=gray:s=40x20,format=gray"), "2.tb", 150, 150);
  Bitmap grey = ReadBitmap(Thumb("2.tb"));
  ASSERT_TRUE(grey.valid);
  auto p = grey.Pixel(20, 10);
  EXPECT_EQ(p[0], p[1]);
  EXPECT_EQ(p[1], p[2]);
  EXPECT_GT(p[0], 100);
  EXPECT_LT(p[0], 160);
}

TEST_F(ThumbnailTest, ResolutionOfTheSourceIsKept) {
  if (!media_test::HaveProgram("convert")) GTEST_SKIP() << "ImageMagick convert is missing";
  std::string plain = Picture("plain.png", "color=c=white:s=40x40");
  std::string dense = pictures_.File("dense.png");
  ASSERT_TRUE(media_test::RunProgram(
      {"convert", plain, "-units", "PixelsPerInch", "-density", "300", dense}));
  MakeThumbnail(dense, "9.bmp", 20, 20);
  Bitmap bmp = ReadBitmap(Thumb("9.bmp"));
  ASSERT_TRUE(bmp.valid);
  EXPECT_NEAR(bmp.xPpm, 11811, 2);
}

TEST_F(ThumbnailTest, ThumbnailIsMadeAnewOnEveryCallAndSmallPicturesKeepTheirSize) {
  MakeThumbnail(Picture("white.png", "color=c=white:s=50x50"), "5.tb", 150, 150);
  ASSERT_TRUE(IsWhite(ReadBitmap(Thumb("5.tb")).Pixel(10, 10)));
  MakeThumbnail(Picture("blue.png", "color=c=blue:s=60x30"), "5.tb", 150, 150);
  Bitmap bmp = ReadBitmap(Thumb("5.tb"));
  ASSERT_TRUE(bmp.valid);
  EXPECT_EQ(bmp.width, 60);
  EXPECT_EQ(bmp.height, 30);
  EXPECT_GT(bmp.Pixel(10, 10)[2], 200);
}

TEST_F(ThumbnailTest, FailureRemovesTheOldThumbnail) {
  ASSERT_TRUE(media_test::WriteFileBytes(Thumb("8.tb"), {'o', 'l', 'd'}));
  ASSERT_TRUE(media_test::WriteFileBytes(pictures_.File("junk.jpg"), {'n', 'o', 'p', 'e'}));
  MakeThumbnail(pictures_.File("junk.jpg"), "8.tb", 150, 150);
  EXPECT_FALSE(FileExists(Thumb("8.tb")));
  ASSERT_TRUE(media_test::WriteFileBytes(Thumb("8.tb"), {'o', 'l', 'd'}));
  MakeThumbnail(Picture("ok.png", "color=c=white:s=10x10"), "8.tb", 0, 0);
  EXPECT_FALSE(FileExists(Thumb("8.tb")));
  MakeThumbnail(pictures_.File("missing.png"), "8.tb", 150, 150);
  EXPECT_FALSE(FileExists(Thumb("8.tb")));
  std::string fifo = pictures_.File("pipe.png");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  MakeThumbnail(fifo, "8.tb", 150, 150);
  EXPECT_FALSE(FileExists(Thumb("8.tb")));
}

TEST_F(ThumbnailTest, NamesThatAreNotPlainFileNamesAreRefused) {
  std::string source = Picture("ok.png", "color=c=white:s=10x10");
  MakeThumbnail(source, "../escape.bmp", 150, 150);
  MakeThumbnail(source, "sub/inner.bmp", 150, 150);
  MakeThumbnail(source, "", 150, 150);
  EXPECT_FALSE(FileExists(home_.File("escape.bmp")));
  EXPECT_FALSE(FileExists(Thumb("sub")));
}

TEST_F(ThumbnailTest, Jpeg2000GoesThroughTheScaler) {
  if (!media_test::HaveProgram("convert")) GTEST_SKIP() << "ImageMagick convert is missing";
  std::string source = pictures_.File("photo.jp2");
  ASSERT_TRUE(RunFfmpeg({"-f", "lavfi", "-i", "color=c=white:s=300x200", "-frames:v", "1",
                         "-pix_fmt", "rgb24", "-c:v", "libopenjpeg", source}));
  MakeThumbnail(source, "4.tb", 150, 150);
  Bitmap bmp = ReadBitmap(Thumb("4.tb"));
  ASSERT_TRUE(bmp.valid);
  EXPECT_EQ(bmp.width, 150);
  EXPECT_EQ(bmp.height, 100);
  EXPECT_TRUE(IsWhite(bmp.Pixel(75, 50)));
  // The scaler's own output does not stay behind.
  EXPECT_FALSE(FileExists(Thumb("4.tb.scaled.png")));
}

TEST_F(ThumbnailTest, Jpeg2000WithoutScalerMakesNoThumbnail) {
  std::string source = pictures_.File("photo.j2k");
  ASSERT_TRUE(RunFfmpeg({"-f", "lavfi", "-i", "color=c=white:s=300x200", "-frames:v", "1", "-c:v",
                         "libopenjpeg", "-f", "image2", source}));
  media::Thumbnail_SetScaler("/nonexistent/convert");
  MakeThumbnail(source, "6.tb", 150, 150);
  EXPECT_FALSE(FileExists(Thumb("6.tb")));
  // A scaler that writes nothing leaves no thumbnail either.
  media::Thumbnail_SetScaler("/bin/true");
  MakeThumbnail(source, "6.tb", 150, 150);
  EXPECT_FALSE(FileExists(Thumb("6.tb")));
}

TEST_F(ThumbnailTest, Jpeg2000NameOnOtherContentMakesNoThumbnail) {
  if (!media_test::HaveProgram("convert")) GTEST_SKIP() << "ImageMagick convert is missing";
  std::string png = Picture("real.png", "color=c=white:s=40x40");
  std::string disguised = pictures_.File("disguised.jp2");
  ASSERT_EQ(::rename(png.c_str(), disguised.c_str()), 0);
  MakeThumbnail(disguised, "14.tb", 150, 150);
  EXPECT_FALSE(FileExists(Thumb("14.tb")));
}

TEST_F(ThumbnailTest, ConcurrentRequestsForOneNameLeaveAWholeBitmap) {
  std::string wide = Picture("wide.png", "color=c=white:s=400x100");
  std::string tall = Picture("tall.png", "color=c=white:s=100x400");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) MakeThumbnail((t + i) % 2 ? wide : tall, "11.tb", 150, 150);
    });
  }
  for (std::thread& thread : threads) thread.join();
  Bitmap bmp = ReadBitmap(Thumb("11.tb"));
  ASSERT_TRUE(bmp.valid);
  EXPECT_EQ(bmp.width, bmp.height == 100 ? 150 : 100);
  EXPECT_FALSE(FileExists(Thumb("11.tb.part")));
}

}  // namespace
