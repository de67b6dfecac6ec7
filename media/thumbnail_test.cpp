#include "media/thumbnail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "media/bmp_writer.h"
#include "platform/app_directory.h"
#include "platform/testing/test_support.h"

namespace {

using media::ThumbnailGeometry;
using platform::testing::TempDir;

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// The box is clamped to the picture and to the size limit; the bitmap writer refuses
// sizes it cannot hold.
TEST(ThumbnailGeometry, PictureIsFittedIntoTheBoxClampedToItAndCentred) {
  struct Case {
    int w, h, boxW, boxH;
    ThumbnailGeometry expected;  // canvas width, height; draw x, y, width, height
  } const cases[] = {
      {300, 900, 320, 240, {300, 240, 110, 0, 80, 240}},  // tall; box clamped to 300 wide
      {20000, 10000, 100000, 100000, {4096, 4096, 0, 1024, 4096, 2048}},  // limited
      {10000, 1, 150, 150, {150, 1, 0, 0, 150, 1}},  // a sliver still draws one pixel
  };
  for (const Case& c : cases) {
    ThumbnailGeometry g;
    ASSERT_TRUE(media::Thumbnail_ComputeGeometry(c.w, c.h, c.boxW, c.boxH, &g));
    EXPECT_EQ(std::tie(g.canvasWidth, g.canvasHeight, g.drawX, g.drawY, g.drawWidth, g.drawHeight),
              std::tie(c.expected.canvasWidth, c.expected.canvasHeight, c.expected.drawX,
                       c.expected.drawY, c.expected.drawWidth, c.expected.drawHeight))
        << c.w << "x" << c.h;
  }
  ThumbnailGeometry g;
  EXPECT_FALSE(media::Thumbnail_ComputeGeometry(100, 100, 150, -1, &g));
  EXPECT_FALSE(media::Thumbnail_ComputeGeometry(0, 100, 150, 150, &g));
  std::vector<uint8_t> rgb(12, 0);
  EXPECT_TRUE(media::Bmp_Encode24(0, 2, rgb.data(), rgb.size(), 1, 1).empty());
  EXPECT_TRUE(media::Bmp_Encode24(2, 3, rgb.data(), rgb.size(), 1, 1).empty());
  EXPECT_TRUE(media::Bmp_Encode24(60000, 60000, rgb.data(), SIZE_MAX, 1, 1).empty());
}

// A 24-bit bitmap read back: valid when its header and size agree.
struct Bitmap {
  bool valid = false;
  int width = 0;
  int height = 0;
  std::string bytes;
  int32_t Le32(size_t at) const {
    return static_cast<int32_t>(
        uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 |
        uint32_t(uint8_t(bytes[at + 2])) << 16 | uint32_t(uint8_t(bytes[at + 3])) << 24);
  }
  size_t Stride() const { return (static_cast<size_t>(width) * 3 + 3) & ~size_t{3}; }
  // Whether the pixel at x, y counted from the top is within a little of 0xRRGGBB.
  bool Is(int x, int y, uint32_t rgb) const {
    size_t at = 54 + static_cast<size_t>(height - 1 - y) * Stride() + static_cast<size_t>(x) * 3;
    for (int i = 0; i < 3; ++i) {
      if (std::abs(uint8_t(bytes[at + i]) - int((rgb >> (8 * i)) & 0xFF)) > 24) return false;
    }
    return true;
  }
  explicit Bitmap(const std::string& path) : bytes(platform::testing::ReadFile(path)) {
    if (bytes.size() < 54 || bytes.compare(0, 2, "BM") != 0) return;
    width = Le32(18);
    height = Le32(22);
    valid = Le32(2) == static_cast<int32_t>(bytes.size()) && Le32(10) == 54 && bytes[28] == 24 &&
            bytes.size() == 54 + Stride() * static_cast<size_t>(height);
  }
};

constexpr uint32_t kBlack = 0x000000, kWhite = 0xFFFFFF, kRed = 0xFF0000, kBlue = 0x0000FF,
                   kGrey = 0x808080;

class ThumbnailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InitAppDirectory(home_.path());
    ASSERT_EQ(::mkdir(home_.Join("thumbnail").c_str(), 0755), 0);
  }
  std::string Picture(const std::string& name, const std::string& source,
                      const std::vector<std::string>& output = {}) {
    std::vector<std::string> args = {"-f", "lavfi", "-i", source, "-frames:v", "1"};
    args.insert(args.end(), output.begin(), output.end());
    args.push_back(pictures_.Join(name));
    EXPECT_TRUE(platform::testing::RunFfmpeg(args));
    return pictures_.Join(name);
  }
  std::string Thumb(const std::string& name) { return home_.Join("thumbnail/" + name); }

  TempDir home_;
  TempDir pictures_;
};

// A JPEG fitted into the box is the real-client suite's; here the channels keep their
// order, bands stay black, transparency becomes black, grey becomes RGB, and small
// pictures keep their size.
TEST_F(ThumbnailTest, PicturesBecomeBitmapsFittedIntoTheBox) {
  struct Pixel {
    int x, y;
    uint32_t rgb;
  };
  const struct Case {
    const char* name;
    const char* source;
    int box, width, height;
    std::vector<Pixel> pixels;
  } cases[] = {
      {"red.bmp", "color=c=red:s=64x32", 32, 32, 32, {{16, 16, kRed}, {16, 7, kBlack}}},
      {"clear.png", "color=c=white@0.0:s=40x20,format=rgba", 150, 40, 20, {{20, 10, kBlack}}},
      {"grey.png", "color=c=gray:s=40x20,format=gray", 150, 40, 20, {{20, 10, kGrey}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeThumbnail(Picture(c.name, c.source), "5.tb", c.box, c.box);
    Bitmap bmp(Thumb("5.tb"));
    ASSERT_TRUE(bmp.valid);
    EXPECT_EQ(bmp.width, c.width);
    EXPECT_EQ(bmp.height, c.height);
    for (const Pixel& p : c.pixels) EXPECT_TRUE(bmp.Is(p.x, p.y, p.rgb)) << p.x << "," << p.y;
  }
}

TEST_F(ThumbnailTest, FailureRemovesTheOldThumbnailAndNamesStayInTheFolder) {
  std::string ok = Picture("ok.png", "color=c=white:s=10x10");
  platform::testing::WriteFile(pictures_.Join("junk.jpg"), "nope");
  ASSERT_EQ(::mkfifo(pictures_.Join("pipe.png").c_str(), 0600), 0);
  for (const auto& [source, box] : {std::pair{pictures_.Join("junk.jpg"), 150}, std::pair{ok, 0},
                                    std::pair{pictures_.Join("missing.png"), 150},
                                    std::pair{pictures_.Join("pipe.png"), 150}}) {
    platform::testing::WriteFile(Thumb("8.tb"), "old");
    MakeThumbnail(source, "8.tb", box, box);
    EXPECT_FALSE(Exists(Thumb("8.tb"))) << source;
  }
  MakeThumbnail(ok, "../escape.bmp", 150, 150);
  MakeThumbnail(ok, "sub/inner.bmp", 150, 150);
  MakeThumbnail(ok, "", 150, 150);
  EXPECT_FALSE(Exists(home_.Join("escape.bmp")));
  EXPECT_FALSE(Exists(Thumb("sub")));
}

// JPEG 2000 goes through the external scaler, the program directory's before the one in
// PATH; with one that writes nothing, or for other content under the name, there is no
// thumbnail.
TEST_F(ThumbnailTest, Jpeg2000GoesThroughTheScaler) {
  std::string codestream =
      Picture("photo.j2k", "color=c=white:s=300x200", {"-c:v", "libopenjpeg", "-f", "image2"});
  platform::testing::WriteFile(home_.Join("convert"), "#!/bin/sh\nexit 0\n");
  ASSERT_EQ(::chmod(home_.Join("convert").c_str(), 0755), 0);
  MakeThumbnail(codestream, "6.tb", 150, 150);
  EXPECT_FALSE(Exists(Thumb("6.tb")));

  ASSERT_EQ(::unlink(home_.Join("convert").c_str()), 0);
  if (!platform::testing::HaveProgram("convert")) GTEST_SKIP() << "ImageMagick is missing";
  MakeThumbnail(
      Picture("photo.jp2", "color=c=white:s=300x200", {"-pix_fmt", "rgb24", "-c:v", "libopenjpeg"}),
      "4.tb", 150, 150);
  Bitmap bmp(Thumb("4.tb"));
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

}  // namespace
