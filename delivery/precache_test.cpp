#include "delivery/precache.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "delivery/testing/testing_sources.h"

namespace {

using delivery_test::Pattern;
using delivery_test::PatternSource;

constexpr int64_t kMiB = 1 << 20;

class PreCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { PreCache_Clear(0); }
  void TearDown() override { PreCache_Clear(0); }
  std::vector<char> buffer_ = std::vector<char>(65536);
};

// Sequential reads from the window are proven by a transfer with the cache on; these are
// the reads it must not take and reads that jump about.
TEST_F(PreCacheTest, SmallFilesShortReadsAndStreamsAreNotCachedAndClearIsPerSource) {
  PatternSource small(10 * kMiB), large(20 * kMiB);
  EXPECT_EQ(PreCache_Read(&small, 0, buffer_.data(), 4096), 0u);
  EXPECT_EQ(PreCache_Read(&large, 0, buffer_.data(), 4095), 0u);
  PatternSource stream(20 * kMiB, true);
  EXPECT_EQ(PreCache_Read(&stream, 0, buffer_.data(), 4096), 0u);
  // Clearing another source keeps the window: the next block comes without a read.
  ASSERT_EQ(PreCache_Read(&large, 0, buffer_.data(), 4096), 4096u);
  PreCache_Clear(large.Id() + 1000);
  int reads = large.reads;
  ASSERT_EQ(PreCache_Read(&large, 4096, buffer_.data(), 4096), 4096u);
  EXPECT_EQ(large.reads - reads, 1);  // the refill of the slot just taken
  PreCache_Clear(large.Id());
  reads = large.reads;
  ASSERT_EQ(PreCache_Read(&large, 8192, buffer_.data(), 4096), 4096u);
  EXPECT_GT(large.reads - reads, 1);  // the window is built anew
}

TEST_F(PreCacheTest, SeeksAndOddSizesGiveTheSameBytesAsTheFile) {
  PatternSource source(24 * kMiB + 123);
  std::mt19937_64 random(7);
  uint64_t offset = 5;
  for (int i = 0; i < 3000; ++i) {
    if (i % 200 == 0) offset = random() % static_cast<uint64_t>(source.Size());
    size_t size = (i % 500 == 0) ? 4096 + random() % 60000 : 4096;
    size_t n = PreCache_Read(&source, offset, buffer_.data(), size);
    if (n == 0) continue;
    ASSERT_EQ(n, size);
    ASSERT_EQ(std::string(buffer_.data(), n), Pattern(offset, n)) << "offset " << offset;
    offset += n;
  }
}

}  // namespace
