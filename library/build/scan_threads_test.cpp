#include "library/build/scan_threads.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/library_edit.h"
#include "library/build/scanner.h"
#include "library/build/testing/scan_library.h"
#include "library/library.h"

namespace {

using scan_test::ChildNamed;
using scan_test::ItemCount;
using scan_test::ScanLibrary;
using scan_test::WriteJpeg;
using scan_test::WriteMp3;

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

}  // namespace
