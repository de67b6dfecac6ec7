#include "library/build/library_watcher.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "library/build/container_tree.h"
#include "library/build/library_edit.h"
#include "library/build/scanner.h"
#include "library/build/testing/scan_library.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/testing/test_support.h"

namespace {

using platform::testing::WaitUntil;
using scan_test::ChildNamed;
using scan_test::Children;
using scan_test::RowsOfPath;
using scan_test::WriteJpeg;
using scan_test::WriteMp3;

constexpr uint64_t kWaitMs = 20000;

// A scanned shared folder "media" with a watcher on it.
class LibraryWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    ASSERT_TRUE(WriteMp3(lib_.MediaPath("old/first.mp3"), {"First", "Art", "Alb", "", ""}));
    ASSERT_TRUE(WriteJpeg(lib_.MediaPath("old/pic.jpg")));
    ASSERT_EQ(Lib_AddSharedFolder(lib_.media()), 1);
    Scan_SharedFolder(lib_.media());
    watcher_.SetChangeApplied([this](const CDirChangeNotification& n) {
      if (n.kind == CDirChangeNotification::kChangesLost) refreshes_++;
    });
    ASSERT_EQ(watcher_.WatchSharedFolders(), 1);
  }
  void TearDown() override {
    watcher_.UnwatchAll();
    EXPECT_EQ(lib_.Faults(), std::vector<std::string>{});
  }
  // Waits until every change made so far has been applied.
  void Settle() { watcher_.watcher().DrainNotificationsForTest(); }
  static bool WaitStored(const std::string& path, size_t rows) {
    return WaitUntil([&] { return RowsOfPath(path).size() == rows; }, kWaitMs);
  }

  scan_test::ScanLibrary lib_;
  CLibraryWatcher watcher_;
  std::atomic<int> refreshes_{0};
};

// A folder moved within the tree keeps its files and its watches; one moved out is
// removed and no longer watched; a file moved in is added.
TEST_F(LibraryWatcherTest, MovesWithinOutOfAndIntoTheTree) {
  ASSERT_TRUE(WriteMp3(lib_.MediaPath("other/keep.mp3")));
  ASSERT_TRUE(WaitStored(lib_.MediaPath("other/keep.mp3"), 2));
  ASSERT_EQ(::rename(lib_.MediaPath("old").c_str(), lib_.MediaPath("other/moved").c_str()), 0);
  ASSERT_TRUE(WaitStored(lib_.MediaPath("other/moved/first.mp3"), 4));
  EXPECT_TRUE(RowsOfPath(lib_.MediaPath("old/first.mp3")).empty());
  EXPECT_TRUE(RowsOfPath(lib_.MediaPath("old")).empty());
  EXPECT_EQ(RowsOfPath(lib_.MediaPath("other/moved/pic.jpg")).size(), 2u);
  ASSERT_TRUE(WriteJpeg(lib_.MediaPath("other/moved/new.jpg")));
  ASSERT_TRUE(WaitStored(lib_.MediaPath("other/moved/new.jpg"), 2));

  std::string outside = lib_.Path("outside");
  std::filesystem::create_directories(outside);
  ASSERT_EQ(::rename(lib_.MediaPath("other").c_str(), (outside + "/other").c_str()), 0);
  ASSERT_TRUE(WaitUntil([&] { return Children(kContainerAllMusic).empty(); }, kWaitMs));
  Settle();
  EXPECT_TRUE(Children(kContainerAllImages).empty());
  EXPECT_TRUE(Children(kContainerArtist).empty());
  EXPECT_EQ(watcher_.watcher().WatchedDirectoryCountForTest(), 1u);  // the shared folder

  ASSERT_EQ(
      ::rename((outside + "/other/moved/first.mp3").c_str(), lib_.MediaPath("back.mp3").c_str()),
      0);
  ASSERT_TRUE(WaitStored(lib_.MediaPath("back.mp3"), 4));
}

TEST_F(LibraryWatcherTest, RenamedPlaylistIsStoredUnderItsNewName) {
  scan_test::WriteText(lib_.MediaPath("old/list.m3u"), "#EXTM3U\nfirst.mp3\n");
  ASSERT_TRUE(
      WaitUntil([&] { return ChildNamed(kContainerAllMusic, "list.m3u").MyIndex >= 0; }, kWaitMs));
  ASSERT_EQ(::rename(lib_.MediaPath("old/list.m3u").c_str(), lib_.MediaPath("old/mix.m3u").c_str()),
            0);
  ASSERT_TRUE(
      WaitUntil([&] { return ChildNamed(kContainerAllMusic, "mix.m3u").MyIndex >= 0; }, kWaitMs));
  Settle();
  EXPECT_EQ(ChildNamed(kContainerAllMusic, "list.m3u").MyIndex, -1);
  MediaRecord mix = ChildNamed(kContainerAllMusic, "mix.m3u");
  EXPECT_EQ(mix.Flags, kFlagPlaylist);
  std::string list = platform::testing::ReadFile(mix.FilePath);
  EXPECT_NE(list.find("/first.mp3"), std::string::npos) << list;
}

TEST_F(LibraryWatcherTest, QueueOverflowIsHealedByARefreshOfTheFolder) {
  // A change the watcher never heard of: the library lost a file that is still there.
  std::string path = lib_.MediaPath("old/first.mp3");
  Scan_RemovePath(path);
  ASSERT_TRUE(RowsOfPath(path).empty());
  platform::InotifyEvent overflow;
  overflow.mask = platform::kInQueueOverflow;
  watcher_.watcher().InjectEventForTest(overflow);
  ASSERT_TRUE(WaitUntil([&] { return refreshes_.load() == 1; }, kWaitMs));
  EXPECT_EQ(RowsOfPath(path).size(), 4u);
  // Still watching afterwards.
  ASSERT_TRUE(WriteJpeg(lib_.MediaPath("after.jpg")));
  EXPECT_TRUE(WaitStored(lib_.MediaPath("after.jpg"), 2));
}

}  // namespace
