#include "delivery/precache.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "delivery/delivery_limits.h"
#include "delivery/testing/testing_sources.h"

namespace {

using delivery_test::Pattern;
using delivery_test::PatternSource;

constexpr int64_t kMiB = 1 << 20;

class PreCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { PreCache_Clear(0); }
  void TearDown() override { PreCache_Clear(0); }
};

// Sequential reads from the window are proven by a transfer with the cache on; these are
// the reads it must not take and reads that jump about.
TEST_F(PreCacheTest, SmallFilesShortReadsAndStreamsAreNotCached) {
  PatternSource small(10 * kMiB);
  std::vector<char> buffer(4096);
  EXPECT_EQ(PreCache_Read(&small, 0, buffer.data(), 4096), 0u);
  PatternSource large(20 * kMiB);
  EXPECT_EQ(PreCache_Read(&large, 0, buffer.data(), 4095), 0u);
  EXPECT_EQ(PreCache_GetStats().SourceId, 0u);
  delivery_test::TextStream stream(std::string(1 << 16, 'x'));
  EXPECT_EQ(PreCache_Read(&stream, 0, buffer.data(), 4096), 0u);
  // Clearing another source keeps the window.
  ASSERT_EQ(PreCache_Read(&large, 0, buffer.data(), 4096), 4096u);
  PreCache_Clear(large.Id() + 1000);
  EXPECT_EQ(PreCache_GetStats().SourceId, large.Id());
  PreCache_Clear(large.Id());
  EXPECT_EQ(PreCache_GetStats().SourceId, 0u);
}

TEST_F(PreCacheTest, SeeksAndOddSizesGiveTheSameBytesAsTheFile) {
  PatternSource source(24 * kMiB + 123);
  std::mt19937_64 random(7);
  std::vector<char> buffer(65536);
  uint64_t offset = 5;
  for (int i = 0; i < 3000; ++i) {
    if (i % 200 == 0) offset = random() % static_cast<uint64_t>(source.Size());
    size_t size = (i % 500 == 0) ? 4096 + random() % 60000 : 4096;
    size_t n = PreCache_Read(&source, offset, buffer.data(), size);
    if (n == 0) continue;
    ASSERT_EQ(n, size);
    ASSERT_EQ(std::string(buffer.data(), n), Pattern(offset, n)) << "offset " << offset;
    offset += n;
  }
}

}  // namespace
