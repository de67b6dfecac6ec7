#include "media/image_size.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// ---- Headers read without libvips ----

void PutBe16(std::vector<uint8_t>* out, int value) {
  out->push_back(static_cast<uint8_t>(value >> 8));
  out->push_back(static_cast<uint8_t>(value));
}

void PutBe32(std::vector<uint8_t>* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

// One JPEG segment: marker, length, body.
std::vector<uint8_t> Segment(uint8_t marker, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out = {0xFF, marker};
  PutBe16(&out, static_cast<int>(body.size()) + 2);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> FrameBody(int precision, int w, int h, int components) {
  std::vector<uint8_t> body = {static_cast<uint8_t>(precision)};
  PutBe16(&body, h);
  PutBe16(&body, w);
  body.push_back(static_cast<uint8_t>(components));
  for (int c = 0; c < components; ++c) body.insert(body.end(), {uint8_t(c + 1), 0x11, 0});
  return body;
}

std::vector<uint8_t> Jpeg(const std::vector<std::vector<uint8_t>>& segments) {
  std::vector<uint8_t> out = {0xFF, 0xD8};
  for (const auto& s : segments) out.insert(out.end(), s.begin(), s.end());
  return out;
}

std::vector<uint8_t> Png(uint32_t w, uint32_t h, uint8_t depth, uint8_t colourType,
                         bool goodCrc = true) {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<uint8_t> chunk = {'I', 'H', 'D', 'R'};
  PutBe32(&chunk, w);
  PutBe32(&chunk, h);
  chunk.insert(chunk.end(), {depth, colourType, 0, 0, 0});
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : chunk) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  PutBe32(&out, 13);
  out.insert(out.end(), chunk.begin(), chunk.end());
  PutBe32(&out, goodCrc ? ~crc : crc);
  return out;
}

TEST(ImageSizeHeader, ReadsTheFrameOfOrdinaryJpegsAndRefusesEverythingElse) {
  const std::vector<uint8_t> app0 =
      Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  // An EXIF thumbnail carries a frame header of its own inside its segment.
  std::vector<uint8_t> exifBody = {'E', 'x', 'i', 'f', 0, 0, 0xFF, 0xD8};
  std::vector<uint8_t> inner = Segment(0xC0, FrameBody(8, 160, 120, 3));
  exifBody.insert(exifBody.end(), inner.begin(), inner.end());
  const std::vector<uint8_t> app1 = Segment(0xE1, exifBody);
  const std::vector<uint8_t> dqt = Segment(0xDB, std::vector<uint8_t>(65, 1));
  const std::vector<uint8_t> sos = Segment(0xDA, {1, 1, 0, 0, 63, 0});
  const std::vector<uint8_t> sof = Segment(0xC0, FrameBody(8, 641, 100, 3));
  std::vector<uint8_t> filled = sof;
  filled.insert(filled.begin(), {0xFF, 0xFF});
  std::vector<uint8_t> cutPng = Png(5, 5, 8, 0);
  cutPng.pop_back();

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int w;  // 0: not answered from the header
    int h;
  };
  const Case cases[] = {
      {"baseline after an EXIF thumbnail", Jpeg({app0, app1, dqt, sof, sos}), 641, 100},
      {"fill bytes before a marker", Jpeg({app0, dqt, filled, sos}), 641, 100},
      {"progressive grey", Jpeg({Segment(0xC2, FrameBody(8, 48, 48, 1)), sos}), 48, 48},
      {"arithmetic CMYK", Jpeg({Segment(0xC9, FrameBody(8, 1, 65535, 4)), sos}), 1, 65535},
      {"lossless", Jpeg({Segment(0xC3, FrameBody(8, 64, 64, 3)), sos}), 0, 0},
      {"12-bit", Jpeg({Segment(0xC1, FrameBody(12, 64, 64, 3)), sos}), 0, 0},
      {"zero height", Jpeg({Segment(0xC0, FrameBody(8, 64, 0, 3)), sos}), 0, 0},
      {"two frames", Jpeg({sof, sof, sos}), 0, 0},
      {"scan before the frame", Jpeg({sos, sof}), 0, 0},
      {"no scan", Jpeg({app0, sof}), 0, 0},
      {"end marker before the scan", Jpeg({sof, {0xFF, 0xD9}, sos}), 0, 0},
      {"garbage between segments", Jpeg({sof, {0x00}, sos}), 0, 0},
      {"segment longer than the file", Jpeg({app0, {0xFF, 0xE2, 0x7F, 0xFF, 0}}), 0, 0},
      {"png", Png(160, 1000, 8, 2), 160, 1000},
      {"png palette 4-bit", Png(1, 1, 4, 3), 1, 1},
      {"png bad crc", Png(160, 1000, 8, 2, false), 0, 0},
      {"png bad depth", Png(160, 1000, 4, 2), 0, 0},
      {"png zero width", Png(0, 10, 8, 0), 0, 0},
      {"png wider than answered", Png(70000, 10, 8, 0), 0, 0},
      {"png cut in its header", cutPng, 0, 0},
      {"gif", {'G', 'I', 'F', '8', '9', 'a', 10, 0, 10, 0, 0, 0, 0}, 0, 0},
      {"empty", {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    media::MemoryByteSource source(c.bytes.data(), c.bytes.size());
    int w = -1;
    int h = -1;
    EXPECT_EQ(media::ImageSize_ReadHeader(source, &w, &h), c.w != 0);
    EXPECT_EQ(w, c.w);
    EXPECT_EQ(h, c.h);
  }
  // A frame header whose length disagrees with its component count is refused.
  std::vector<uint8_t> body = FrameBody(8, 64, 64, 3);
  body.push_back(0);
  std::vector<uint8_t> longFrame = Jpeg({Segment(0xC0, body), sos});
  media::MemoryByteSource source(longFrame.data(), longFrame.size());
  int w = 0;
  int h = 0;
  EXPECT_FALSE(media::ImageSize_ReadHeader(source, &w, &h));
}

// Whether libvips is mapped into this process.
bool VipsMapped() {
  std::vector<uint8_t> maps = media_test::ReadFileBytes("/proc/self/maps");
  return std::string(maps.begin(), maps.end()).find("/libvips.so") != std::string::npos;
}

// Measures the three pictures and reports the sizes and whether libvips was mapped after
// the first two and after the third, then ends the process.
[[noreturn]] void MeasureAndExit(const std::string& jpeg, const std::string& png,
                                 const std::string& bmp) {
  int sizes[6] = {};
  bool headers = ImageSize(jpeg, &sizes[0], &sizes[1]) && ImageSize(png, &sizes[2], &sizes[3]);
  bool vipsAfterHeaders = VipsMapped();
  bool bitmap = ImageSize(bmp, &sizes[4], &sizes[5]);
  std::fprintf(stderr, "%d %dx%d %dx%d vips=%d %d %dx%d vips=%d\n", headers, sizes[0], sizes[1],
               sizes[2], sizes[3], vipsAfterHeaders, bitmap, sizes[4], sizes[5], VipsMapped());
  std::exit(0);
}

// Runs in a fresh copy of the test program, where nothing has loaded libvips yet.
TEST(ImageSizeDeathTest, JpegAndPngSizesNeedNoLibvipsAndOtherPicturesLoadIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  const std::string jpeg = MakePicture(dir, "a.jpg", 641, 100);
  const std::string png = MakePicture(dir, "b.png", 160, 1000);
  const std::string bmp = MakePicture(dir, "c.bmp", 33, 17);
  EXPECT_EXIT(MeasureAndExit(jpeg, png, bmp), ::testing::ExitedWithCode(0),
              "1 641x100 160x1000 vips=0 1 33x17 vips=1");
}

}  // namespace
