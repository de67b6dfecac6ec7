#include "media/image_size.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/testing/test_support.h"

namespace {

// Sizes of real pictures are proven by the resource tests' thumbnails; here a FIFO does not
// block, brackets in a name are no loader options, and a picture replaced under its name is
// measured anew.
TEST(ImageSize, FifosBracketsInNamesAndReplacedPictures) {
  platform::testing::TempDir dir;
  ASSERT_EQ(::mkfifo(dir.Join("pipe.jpg").c_str(), 0600), 0);
  int w = 5;
  int h = 5;
  EXPECT_FALSE(ImageSize(dir.Join("pipe.jpg"), &w, &h));
  EXPECT_EQ(w + h, 0);
  const std::string odd = dir.Join("photo.bmp[shrink=2]");
  for (const char* size : {"20x10", "30x10"}) {
    ASSERT_TRUE(platform::testing::RunFfmpeg({"-y", "-f", "lavfi", "-i",
                                              std::string("testsrc=size=") + size, "-frames:v", "1",
                                              "-f", "image2", "-c:v", "bmp", odd}));
    EXPECT_TRUE(ImageSize(odd, &w, &h));
    EXPECT_EQ(std::to_string(w) + "x" + std::to_string(h), size);
  }
}

// Big-endian numbers, the byte order of JPEG and PNG headers.
void PutBe(std::vector<uint8_t>* out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// One JPEG segment: marker, length, body.
std::vector<uint8_t> Segment(uint8_t marker, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out = {0xFF, marker};
  PutBe(&out, static_cast<uint32_t>(body.size()) + 2, 2);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> FrameBody(int precision, int w, int h, int components) {
  std::vector<uint8_t> body = {static_cast<uint8_t>(precision)};
  PutBe(&body, h, 2);
  PutBe(&body, w, 2);
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
  PutBe(&chunk, w, 4);
  PutBe(&chunk, h, 4);
  chunk.insert(chunk.end(), {depth, colourType, 0, 0, 0});
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : chunk) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  PutBe(&out, 13, 4);
  out.insert(out.end(), chunk.begin(), chunk.end());
  PutBe(&out, goodCrc ? ~crc : crc, 4);
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
  std::vector<uint8_t> longFrame = FrameBody(8, 64, 64, 3);
  longFrame.push_back(0);

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int w;  // 0: not answered from the header
    int h;
  };
  const Case cases[] = {
      {"baseline after an EXIF thumbnail", Jpeg({app0, app1, dqt, sof, sos}), 641, 100},
      {"fill bytes before a marker", Jpeg({app0, dqt, filled, sos}), 641, 100},
      {"progressive arithmetic CMYK", Jpeg({Segment(0xCA, FrameBody(8, 1, 65535, 4)), sos}), 1,
       65535},
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
      {"png bad crc", Png(160, 1000, 8, 2, false), 0, 0},
      {"png bad depth", Png(160, 1000, 4, 2), 0, 0},
      {"png zero width", Png(0, 10, 8, 0), 0, 0},
      {"png wider than answered", Png(70000, 10, 8, 0), 0, 0},
      {"png cut in its header", cutPng, 0, 0},
      {"empty", {}, 0, 0},
      {"frame longer than its components", Jpeg({Segment(0xC0, longFrame), sos}), 0, 0},
      {"restart marker and tables skipped",
       Jpeg({{0xFF, 0xD0}, Segment(0xC4, {0, 1}), Segment(0xC2, FrameBody(8, 3, 4, 1)), sos}), 3,
       4},
      {"a second start of image", Jpeg({{0xFF, 0xD8}, sof, sos}), 0, 0},
      {"no components", Jpeg({Segment(0xC0, FrameBody(8, 64, 64, 0)), sos}), 0, 0},
      {"length below two", Jpeg({{0xFF, 0xE0, 0, 1}, sos}), 0, 0},
      {"png grey 16-bit", Png(7, 9, 16, 0), 7, 9},
      {"png grey depth 3", Png(7, 9, 3, 0), 0, 0},
      {"png palette 4-bit", Png(7, 9, 4, 3), 7, 9},
      {"png palette 16-bit", Png(7, 9, 16, 3), 0, 0},
      {"png grey and alpha 16-bit", Png(7, 9, 16, 4), 7, 9},
      {"png colour type 5", Png(7, 9, 8, 5), 0, 0},
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
}

}  // namespace
