#include "media/bmp_writer.h"

#include <gtest/gtest.h>

#include "media/media_fixtures.h"

namespace {

using media::Bmp_Encode24;

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
TEST(BmpWriter, HeaderGivesSizesPaddedRowsAndResolution) {
  std::vector<uint8_t> rgb(5 * 3 * 3, 0);
  std::vector<uint8_t> bmp = Bmp_Encode24(5, 3, rgb.data(), rgb.size(), 2835, 3780);
  ASSERT_EQ(bmp.size(), 54u + 16 * 3);  // 15 bytes of pixels padded to 16 per row
  EXPECT_EQ(Le32(bmp, 2), bmp.size());
  EXPECT_EQ(Le32(bmp, 18), 5u);
  EXPECT_EQ(Le32(bmp, 22), 3u);
  EXPECT_EQ(Le32(bmp, 34), 48u);
  EXPECT_EQ(Le32(bmp, 38), 2835u);
  EXPECT_EQ(Le32(bmp, 42), 3780u);
}

TEST(BmpWriter, RowsAreStoredBottomUpInBgrOrder) {
  // Two rows of two pixels: top row red, green; bottom row blue, white.
  std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  std::vector<uint8_t> bmp = Bmp_Encode24(2, 2, rgb.data(), rgb.size(), 1, 1);
  ASSERT_EQ(bmp.size(), 54u + 8 * 2);
  std::vector<uint8_t> firstRow(bmp.begin() + 54, bmp.begin() + 62);
  std::vector<uint8_t> secondRow(bmp.begin() + 62, bmp.begin() + 70);
  EXPECT_EQ(firstRow, (std::vector<uint8_t>{255, 0, 0, 255, 255, 255, 0, 0}));
  EXPECT_EQ(secondRow, (std::vector<uint8_t>{0, 0, 255, 0, 255, 0, 0, 0}));
}

TEST(BmpWriter, RefusesBadSizesAndShortBuffers) {
  std::vector<uint8_t> rgb(12, 0);
  EXPECT_TRUE(Bmp_Encode24(0, 2, rgb.data(), rgb.size(), 1, 1).empty());
  EXPECT_TRUE(Bmp_Encode24(2, -1, rgb.data(), rgb.size(), 1, 1).empty());
  EXPECT_TRUE(Bmp_Encode24(2, 3, rgb.data(), rgb.size(), 1, 1).empty());
  EXPECT_TRUE(Bmp_Encode24(60000, 60000, rgb.data(), SIZE_MAX, 1, 1).empty());
}

TEST(BmpWriter, AtomicWriteReplacesTheFileAndLeavesNoTemporary) {
  media_test::TempDir dir;
  std::string path = dir.File("x.bmp");
  ASSERT_TRUE(media::WriteFileAtomically(path, {1, 2, 3}));
  ASSERT_TRUE(media::WriteFileAtomically(path, {4, 5}));
  EXPECT_EQ(media_test::ReadFileBytes(path), (std::vector<uint8_t>{4, 5}));
  EXPECT_FALSE(media_test::FileExists(path + ".part"));
  EXPECT_FALSE(media::WriteFileAtomically(dir.File("no/such/dir.bmp"), {1}));
}

}  // namespace
