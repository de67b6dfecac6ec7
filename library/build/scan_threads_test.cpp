#include "library/build/scan_threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>

#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/library_edit.h"
#include "library/build/scan_limits.h"
#include "library/build/scanner.h"
#include "library/build/testing/scan_library.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"

namespace {

using scan_test::ChildNamed;
using scan_test::ItemCount;
using scan_test::ScanLibrary;
using scan_test::WriteJpeg;
using scan_test::WriteMp3;

// Files a.mp3 ... in `count` subfolders of `folder`, `perFolder` each.
bool FillFolder(const std::string& folder, int count, int perFolder) {
  for (int d = 0; d < count; ++d) {
    for (int f = 0; f < perFolder; ++f) {
      std::string base = folder + "/d" + std::to_string(d) + "/f" + std::to_string(f);
      if (!WriteMp3(base + ".mp3", {"", "Artist " + std::to_string(d), "", "", ""})) return false;
    }
  }
  return true;
}

TEST(ScanThreadTest, OneOwnerRunsOneScanAtATimeAndBrowsingGoesOnMeanwhile) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(FillFolder(lib.media(), 4, 10));
  Scan_SetBatchLimitsForTest(5, 10000);
  std::atomic<bool> release{false};
  std::atomic<int> entries{0};
  Scan_SetEntryHookForTest([&](const std::string&) {
    // The scan waits at its first entry until the test has tried a second start, and
    // then goes slowly enough for the reader below to see it grow.
    if (++entries == 1) {
      while (!release.load()) platform::SleepMs(1);
    }
    platform::SleepMs(2);
  });
  CScanThread scan;
  ASSERT_TRUE(scan.StartAddFolder(lib.media()));
  ASSERT_TRUE(platform::testing::WaitUntil([&] { return entries.load() >= 1; }, 60000));
  EXPECT_TRUE(scan.Running());
  EXPECT_TRUE(Scanner().running.load());
  EXPECT_FALSE(Scanner().idle.load());
  EXPECT_FALSE(scan.StartRescanAll());
  EXPECT_FALSE(scan.WaitFor(1));
  release = true;

  // Browsing between batches: the reader sees the list grow while the scan runs.
  std::set<int> seen;
  while (scan.Running()) seen.insert(db_getCount(sql::Children(kContainerAllMusic)));
  ASSERT_TRUE(scan.WaitFor(60000));
  EXPECT_EQ(ItemCount(kContainerAllMusic), 40);
  EXPECT_GE(std::count_if(seen.begin(), seen.end(), [](int n) { return n > 0 && n < 40; }), 2);
  EXPECT_TRUE(Scanner().idle.load());
}

TEST(ScanThreadTest, RefreshAndRescanAllFollowTheSharedFolders) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath("old.mp3")));
  ASSERT_TRUE(WriteJpeg(lib.MediaPath("keep.jpg")));
  Lib_AddSharedFolder(lib.media());
  CScanThread scan;
  // The window's list of folders ends at the first empty path.
  ASSERT_TRUE(scan.StartAddFolders({lib.media(), "", lib.Path("never")}));
  scan.Join();
  EXPECT_FALSE(Scanner().running.load());
  EXPECT_EQ(Scanner().currentPath.Get(), "");
  EXPECT_EQ(ChildNamed(kContainerAudioFolders, lib.Path("never")).MyIndex, -1);
  std::filesystem::remove(lib.MediaPath("old.mp3"));
  ASSERT_TRUE(WriteMp3(lib.MediaPath("new.mp3")));

  ASSERT_TRUE(scan.StartRefreshFolder(lib.media()));
  scan.Join();

  EXPECT_EQ(ChildNamed(kContainerAllMusic, "old.mp3").MyIndex, -1);
  EXPECT_GE(ChildNamed(kContainerAllMusic, "new.mp3").MyIndex, 0);
  EXPECT_EQ(ItemCount(kContainerAllImages), 1);
  EXPECT_EQ(Scan_LibraryTotals().files, 2);

  // A rescan drops an object that no shared folder holds and the stale cache.
  scan_test::WriteText(lib.Path("cache/stale.hdx"), "x");
  ASSERT_TRUE(WriteMp3(lib.Path("loose.mp3")));
  FST_AddObject(kContainerAllMusic, kObjectItem, lib.Path("loose.mp3"), "loose.mp3", kKindAudio);
  ASSERT_TRUE(scan.StartRescanAll());
  scan.Join();

  EXPECT_EQ(ChildNamed(kContainerAllMusic, "loose.mp3").MyIndex, -1);
  EXPECT_GE(ChildNamed(kContainerAllMusic, "new.mp3").MyIndex, 0);
  EXPECT_FALSE(std::filesystem::exists(lib.Path("cache/stale.hdx")));
  EXPECT_EQ(db_countSharedFolders(), 1);
  EXPECT_EQ(Scan_LibraryTotals().files, 2);
}

// The connection's page cache setting (negative: KiB), as SQLite reports it.
int32_t PageCacheSetting() {
  MediaRecord r;
  if (db_getOneRecord({"select cache_size as MyIndex from pragma_cache_size()", {}}, &r) != 1) {
    return 0;
  }
  return r.MyIndex;
}

TEST(ScanThreadTest, ScansRunWithTheSmallPageCacheAndBrowsingGetsTheLargeOneBack) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(FillFolder(lib.media(), 2, 2));
  const int32_t opened = PageCacheSetting();
  ASSERT_LT(opened, -scan_limits::kScanPageCacheKiB);
  std::atomic<int32_t> during{0};
  Scan_SetEntryHookForTest([&](const std::string&) { during = PageCacheSetting(); });
  CScanThread scan;
  ASSERT_TRUE(scan.StartAddFolder(lib.media()));
  scan.Join();
  EXPECT_EQ(during.load(), -scan_limits::kScanPageCacheKiB);
  EXPECT_EQ(PageCacheSetting(), -scan_limits::kScanPageCacheKiB);
  Scan_SetEntryHookForTest(nullptr);
  std::vector<MediaRecord> page;
  EXPECT_EQ(db_browsePage(sql::Children(kContainerAllMusic), &page, 0, 10), 4);
  EXPECT_EQ(PageCacheSetting(), opened);
}

}  // namespace
