#include "media/bmp_writer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/testing/test_support.h"

namespace {

// The header and the rows of good pictures are checked through the thumbnails read back.
TEST(BmpWriter, RefusesBadSizesAndShortBuffers) {
  std::vector<uint8_t> rgb(12, 0);
  EXPECT_TRUE(media::Bmp_Encode24(0, 2, rgb.data(), rgb.size(), 1, 1).empty());
  EXPECT_TRUE(media::Bmp_Encode24(2, -1, rgb.data(), rgb.size(), 1, 1).empty());
  EXPECT_TRUE(media::Bmp_Encode24(2, 3, rgb.data(), rgb.size(), 1, 1).empty());
  EXPECT_TRUE(media::Bmp_Encode24(60000, 60000, rgb.data(), SIZE_MAX, 1, 1).empty());
}

TEST(BmpWriter, AtomicWriteReplacesTheFileAndLeavesNoTemporary) {
  platform::testing::TempDir dir;
  std::string path = dir.Join("x.bmp");
  ASSERT_TRUE(media::WriteFileAtomically(path, {1, 2, 3}));
  ASSERT_TRUE(media::WriteFileAtomically(path, {4, 5}));
  EXPECT_EQ(platform::testing::ReadFile(path), "\x04\x05");
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));
  EXPECT_FALSE(media::WriteFileAtomically(dir.Join("no/such/dir.bmp"), {1}));
}

}  // namespace
