#include "gui/transfer_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class TransferStatusTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearTransfers(); }
  void TearDown() override { ClearTransfers(); }

  static std::vector<TransferEntry> Collect() {
    std::vector<TransferEntry> entries;
    size_t count = CollectChanges(&entries);
    EXPECT_EQ(count, entries.size());
    return entries;
  }
};

// Side files, repeats and clients are proven through the window's transfer list; these
// are the limits that hold without a window too.
TEST_F(TransferStatusTest, TheRingDropsTheOldestAndSizesAndTextsHaveTheirLimits) {
  for (int i = 0; i < 150; ++i) {
    RecordTransfer("/m/x.mp4", "10.0.0.2", 6'000'000'000ULL, "/0/___/" + std::to_string(i));
  }
  UpdateTransfer("/0/___/149", "10.0.0.2", 4'500'000'000ULL);
  UpdateTransfer("/0/___/3", "10.0.0.2", 1);  // long gone: nothing to update
  std::vector<TransferEntry> entries = Collect();
  ASSERT_EQ(entries.size(), kTransferRingSize - 1);
  EXPECT_EQ(entries.front().UrlPath, "/0/___/149");
  EXPECT_EQ(TransferPercentText(entries.front()), " 75%");
  EXPECT_EQ(entries.back().UrlPath, "/0/___/51");

  RecordTransfer(std::string(2000, 'p'), std::string(300, 'c'), 0, std::string(2000, 'u'));
  entries = Collect();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_LT(entries[0].FilePath.size(), kTransferPathBytes);
  EXPECT_LT(entries[0].ClientAddress.size(), kTransferClientBytes);
  EXPECT_EQ(TransferPercentText(entries[0]), "0 B");
}

}  // namespace
