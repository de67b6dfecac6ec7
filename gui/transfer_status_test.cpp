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

TEST_F(TransferStatusTest, SideFilesAreNotListedAndRepeatsStayOneLine) {
  RecordTransfer("/m/film.SRT", "10.0.0.2", 10, "/0/___/5/film.srt");
  RecordTransfer("/m/film.avi", "10.0.0.2", 1000, "/0/___/4/film.avi");
  // The same resource again with another range, and in another letter case.
  RecordTransfer("/m/film.avi", "10.0.0.2", 1000, "/0/___/4/FILM.avi");
  UpdateTransfer("/0/___/4/film.avi", "10.0.0.2", 250);
  std::vector<TransferEntry> entries = Collect();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].FilePath, "/m/film.avi");
  EXPECT_EQ(TransferPercentText(entries[0]), " 25%");
  EXPECT_TRUE(Collect().empty());  // shown now

  // Progress on a shown entry makes it changed, and it is collected again.
  UpdateTransfer("/0/___/4/film.avi", "10.0.0.2", 5000);
  entries = Collect();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].State, kTransferChanged);
  EXPECT_EQ(TransferPercentText(entries[0]), "100%");
}

TEST_F(TransferStatusTest, ANewerTransferOfAnotherClientIsItsOwnLineAndUpdatesFindTheirs) {
  RecordTransfer("/m/a.mp3", "10.0.0.2", 100, "/0/___/1/a.mp3");
  RecordTransfer("/m/a.mp3", "10.0.0.3", 100, "/0/___/1/a.mp3");
  UpdateTransfer("/0/___/1/a.mp3", "10.0.0.2", 50);
  std::vector<TransferEntry> entries = Collect();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].ClientAddress, "10.0.0.3");  // newest first
  EXPECT_EQ(entries[0].Sent, 0u);
  EXPECT_EQ(entries[1].Sent, 50u);
}

TEST_F(TransferStatusTest, TheRingDropsTheOldestAndSizesAre64Bit) {
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
}

TEST_F(TransferStatusTest, UnknownSizeAndLongTextsAreHandled) {
  RecordTransfer(std::string(2000, 'p'), std::string(300, 'c'), 0, std::string(2000, 'u'));
  std::vector<TransferEntry> entries = Collect();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_LT(entries[0].FilePath.size(), kTransferPathBytes);
  EXPECT_LT(entries[0].ClientAddress.size(), kTransferClientBytes);
  EXPECT_EQ(TransferPercentText(entries[0]), "0 B");
}

}  // namespace
