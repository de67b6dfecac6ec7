#include "media/thumbnail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <thread>
#include <tuple>

#include "platform/app_directory.h"
#include "platform/testing/test_support.h"

namespace {

using media::Thumbnail_ComputeGeometry;
using media::ThumbnailGeometry;
using platform::testing::HaveProgram;
using platform::testing::RunFfmpeg;
using platform::testing::TempDir;

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

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

enum Colour { kBlack, kWhite, kRed, kBlue, kGrey };

struct Bitmap {
  bool valid = false;
  int width = 0;
  int height = 0;
  std::string bytes;
  // Whether the pixel at x, y counted from the top has that colour.
  bool Is(int x, int y, Colour colour) const {
    size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    size_t at = 54 + static_cast<size_t>(height - 1 - y) * stride + static_cast<size_t>(x) * 3;
    int r = static_cast<uint8_t>(bytes[at + 2]), g = static_cast<uint8_t>(bytes[at + 1]),
        b = static_cast<uint8_t>(bytes[at]);
    switch (colour) {
      case kBlack:
        return r < 16 && g < 16 && b < 16;
      case kWhite:
        return r > 235 && g > 235 && b > 235;
      case kRed:
        return r > 235 && g < 20 && b < 20;
      case kBlue:
        return b > 200 && r < 20 && g < 20;
      case kGrey:
        return r == g && g == b && r > 100 && r < 160;
    }
    return false;
  }
};

int32_t Le32(const std::string& b, size_t at) {
  return static_cast<int32_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
                              static_cast<uint8_t>(b[at + 2]) << 16 |
                              static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24);
}

Bitmap ReadBitmap(const std::string& path) {
  Bitmap bmp;
  bmp.bytes = platform::testing::ReadFile(path);
  if (bmp.bytes.size() < 54 || bmp.bytes.compare(0, 2, "BM") != 0) return bmp;
  bmp.width = Le32(bmp.bytes, 18);
  bmp.height = Le32(bmp.bytes, 22);
  size_t stride = (static_cast<size_t>(bmp.width) * 3 + 3) & ~size_t{3};
  bmp.valid = Le32(bmp.bytes, 2) == static_cast<int32_t>(bmp.bytes.size()) &&
              Le32(bmp.bytes, 10) == 54 && bmp.bytes[28] == 24 &&
              bmp.bytes.size() == 54 + stride * static_cast<size_t>(bmp.height);
  return bmp;
}

class ThumbnailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InitAppDirectory(home_.path());
    ASSERT_EQ(::mkdir(home_.Join("thumbnail").c_str(), 0755), 0);
    media::Thumbnail_SetScaler("");
  }
  void TearDown() override { media::Thumbnail_SetScaler(""); }

  std::string Picture(const std::string& name, const std::string& source,
                      const std::vector<std::string>& output = {}) {
    std::string path = pictures_.Join(name);
    std::vector<std::string> args = {"-f", "lavfi", "-i", source, "-frames:v", "1"};
    args.insert(args.end(), output.begin(), output.end());
    args.push_back(path);
    EXPECT_TRUE(RunFfmpeg(args));
    return path;
  }
  std::string Thumb(const std::string& name) { return home_.Join("thumbnail/" + name); }

  TempDir home_;
  TempDir pictures_;
};

// Bands stay black, transparency becomes black, grey becomes RGB, and small pictures keep
// their size.
TEST_F(ThumbnailTest, PicturesBecomeBitmapsFittedIntoTheBox) {
  struct Pixel {
    int x, y;
    Colour colour;
  };
  struct Case {
    const char* name;
    const char* source;
    int box, width, height;
    std::vector<Pixel> pixels;
  };
  const Case cases[] = {
      {"wide.jpg",
       "color=c=white:s=1000x500",
       150,
       150,
       150,
       {{75, 0, kBlack},
        {75, 36, kBlack},
        {75, 37, kWhite},
        {0, 75, kWhite},
        {149, 111, kWhite},
        {75, 112, kBlack},
        {75, 149, kBlack}}},
      {"red.bmp", "color=c=red:s=64x32", 32, 32, 32, {{16, 16, kRed}, {16, 7, kBlack}}},
      {"clear.png", "color=c=white@0.0:s=40x20,format=rgba", 150, 40, 20, {{20, 10, kBlack}}},
      {"grey.png", "color=c=gray:s=40x20,format=gray", 150, 40, 20, {{20, 10, kGrey}}},
      {"blue.png", "color=c=blue:s=60x30", 150, 60, 30, {{10, 10, kBlue}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeThumbnail(Picture(c.name, c.source), "5.tb", c.box, c.box);
    Bitmap bmp = ReadBitmap(Thumb("5.tb"));
    ASSERT_TRUE(bmp.valid);
    EXPECT_EQ(bmp.width, c.width);
    EXPECT_EQ(bmp.height, c.height);
    for (const Pixel& p : c.pixels) EXPECT_TRUE(bmp.Is(p.x, p.y, p.colour)) << p.x << "," << p.y;
  }
}

// A thumbnail asked for again is not drawn again while its picture and its file are
// unchanged; a changed picture, another box or a file replaced behind its back is.
TEST_F(ThumbnailTest, UnchangedThumbnailIsKeptAndAChangeDrawsItAgain) {
  std::string photo = Picture("photo.png", "color=c=white:s=60x30");
  auto inode = [&](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  MakeThumbnail(photo, "3.tb", 150, 150);
  // A second link holds the first file, so a redraw could not get its inode back.
  ASSERT_EQ(::link(Thumb("3.tb").c_str(), pictures_.Join("held").c_str()), 0);
  MakeThumbnail(photo, "3.tb", 150, 150);
  EXPECT_EQ(inode(Thumb("3.tb")), inode(pictures_.Join("held")));

  MakeThumbnail(photo, "3.tb", 20, 20);
  EXPECT_EQ(ReadBitmap(Thumb("3.tb")).width, 20);
  platform::testing::WriteFile(Thumb("3.tb"), "garbage");
  MakeThumbnail(photo, "3.tb", 20, 20);
  EXPECT_TRUE(ReadBitmap(Thumb("3.tb")).valid);
  Picture("photo.png", "color=c=blue:s=60x30", {"-y"});  // same name, new content
  MakeThumbnail(photo, "3.tb", 20, 20);
  EXPECT_TRUE(ReadBitmap(Thumb("3.tb")).Is(10, 7, kBlue));
}

TEST_F(ThumbnailTest, FailureRemovesTheOldThumbnailAndNamesStayInTheFolder) {
  std::string ok = Picture("ok.png", "color=c=white:s=10x10");
  platform::testing::WriteFile(pictures_.Join("junk.jpg"), "nope");
  ASSERT_EQ(::mkfifo(pictures_.Join("pipe.png").c_str(), 0600), 0);
  struct Case {
    std::string source;
    int box;
  };
  for (const Case& c :
       {Case{pictures_.Join("junk.jpg"), 150}, Case{ok, 0},
        Case{pictures_.Join("missing.png"), 150}, Case{pictures_.Join("pipe.png"), 150}}) {
    platform::testing::WriteFile(Thumb("8.tb"), "old");
    MakeThumbnail(c.source, "8.tb", c.box, c.box);
    EXPECT_FALSE(Exists(Thumb("8.tb"))) << c.source;
  }
  MakeThumbnail(ok, "../escape.bmp", 150, 150);
  MakeThumbnail(ok, "sub/inner.bmp", 150, 150);
  MakeThumbnail(ok, "", 150, 150);
  EXPECT_FALSE(Exists(home_.Join("escape.bmp")));
  EXPECT_FALSE(Exists(Thumb("sub")));
}

// JPEG 2000 goes through the external scaler; without one, with one that writes nothing,
// or for other content under the name, there is no thumbnail.
TEST_F(ThumbnailTest, Jpeg2000GoesThroughTheScaler) {
  std::string codestream =
      Picture("photo.j2k", "color=c=white:s=300x200", {"-c:v", "libopenjpeg", "-f", "image2"});
  media::Thumbnail_SetScaler("/nonexistent/convert");
  MakeThumbnail(codestream, "6.tb", 150, 150);
  EXPECT_FALSE(Exists(Thumb("6.tb")));
  media::Thumbnail_SetScaler("/bin/true");
  MakeThumbnail(codestream, "6.tb", 150, 150);
  EXPECT_FALSE(Exists(Thumb("6.tb")));

  media::Thumbnail_SetScaler("");
  if (!HaveProgram("convert")) GTEST_SKIP() << "ImageMagick convert is missing";
  std::string photo =
      Picture("photo.jp2", "color=c=white:s=300x200", {"-pix_fmt", "rgb24", "-c:v", "libopenjpeg"});
  MakeThumbnail(photo, "4.tb", 150, 150);
  Bitmap bmp = ReadBitmap(Thumb("4.tb"));
  ASSERT_TRUE(bmp.valid);
  EXPECT_EQ(bmp.width, 150);
  EXPECT_EQ(bmp.height, 100);
  EXPECT_TRUE(bmp.Is(75, 50, kWhite));
  EXPECT_FALSE(Exists(Thumb("4.tb.scaled.png")));  // the scaler's own output goes
  std::string disguised = pictures_.Join("disguised.jp2");
  ASSERT_EQ(::rename(Picture("real.png", "color=c=white:s=40x40").c_str(), disguised.c_str()), 0);
  MakeThumbnail(disguised, "14.tb", 150, 150);
  EXPECT_FALSE(Exists(Thumb("14.tb")));
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
  EXPECT_FALSE(Exists(Thumb("11.tb.part")));
}

}  // namespace
