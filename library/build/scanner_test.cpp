#include "library/build/scanner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "library/build/container_tree.h"
#include "library/build/library_edit.h"
#include "library/build/testing/scan_library.h"
#include "library/library.h"
#include "library/statements.h"

namespace {

using scan_test::ChildNamed;
using scan_test::Children;
using scan_test::ItemCount;
using scan_test::Names;
using scan_test::RowsOfPath;
using scan_test::ScanLibrary;
using scan_test::WriteJpeg;
using scan_test::WriteMp3;
using scan_test::WriteText;
using scan_test::WriteVideo;

// The shared folder's container under one of the three folder views, or -1.
int32_t SharedContainer(int32_t root, const std::string& folder) {
  return ChildNamed(root, folder).MyIndex;
}

TEST(ScannerTest, OverlappingSharedFoldersStoreAFileOnceAndRemovalKeepsTheOther) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  std::string inner = lib.MediaPath("inner");
  ASSERT_TRUE(WriteMp3(inner + "/song.mp3", {"Song", "Singer", "", "", ""}));
  ASSERT_EQ(Lib_AddSharedFolder(lib.media()), 1);
  ASSERT_EQ(Lib_AddSharedFolder(inner), 1);
  EXPECT_EQ(Lib_AddSharedFolder(inner), 0);

  Scan_SharedFolder(lib.media());
  Scan_SharedFolder(inner);

  EXPECT_EQ(ItemCount(kContainerAllMusic), 1);
  EXPECT_EQ(Scan_LibraryTotals().duplicates, 1);
  EXPECT_EQ(Scan_LibraryTotals().audio, 1);
  // All Music, two folder rows, one artist copy.
  EXPECT_EQ(RowsOfPath(inner + "/song.mp3").size(), 4u);

  Lib_RemoveSharedFolder(inner);

  EXPECT_EQ(SharedContainer(kContainerAudioFolders, inner), -1);
  EXPECT_EQ(RowsOfPath(inner + "/song.mp3").size(), 3u);
  EXPECT_EQ(ItemCount(kContainerAllMusic), 1);
  EXPECT_EQ(Children(ChildNamed(kContainerArtist, "Singer").MyIndex).size(), 1u);
  EXPECT_EQ(db_countSharedFolders(), 1);

  // A shared folder found gone when scanned is removed with its objects.
  std::filesystem::remove_all(lib.media());
  Scan_SharedFolder(lib.media());

  EXPECT_EQ(db_countSharedFolders(), 0);
  EXPECT_TRUE(RowsOfPath(inner + "/song.mp3").empty());
  EXPECT_TRUE(Children(kContainerArtist).empty());  // the empty group goes too
  EXPECT_EQ(Scan_LibraryTotals().audio, 0);
  EXPECT_EQ(Scan_LibraryTotals().files, 0);
  EXPECT_EQ(lib.Faults(), std::vector<std::string>{});
}

// ---- Robustness ----

TEST(ScannerRobustnessTest, SymbolicLinkLoopsAndDanglingLinksEndTheWalk) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath("a/b/song.mp3")));
  ASSERT_EQ(::symlink("..", lib.MediaPath("a/b/up").c_str()), 0);
  ASSERT_EQ(::symlink(lib.media().c_str(), lib.MediaPath("a/top").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent/target.mp3", lib.MediaPath("dangling.mp3").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent/dir", lib.MediaPath("dangling-dir").c_str()), 0);

  Scan_SharedFolder(lib.media());

  // The real file once, plus at most the copies seen through links that do not loop.
  int items = ItemCount(kContainerAllMusic);
  EXPECT_GE(items, 1);
  EXPECT_LE(items, 3);
  EXPECT_EQ(RowsOfPath(lib.MediaPath("dangling.mp3")).size(), 0u);
  EXPECT_EQ(lib.Faults(), std::vector<std::string>{});
}

// ---- The incremental forms ----

TEST(ScannerIncrementalTest, AddedAndRemovedFilesAndFoldersUpdateTheirContainerChains) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteJpeg(lib.MediaPath("p.jpg")));
  Lib_AddSharedFolder(lib.media());
  Scan_SharedFolder(lib.media());
  ASSERT_EQ(SharedContainer(kContainerAudioFolders, lib.media()), -1);

  std::string song = lib.MediaPath("new/deep/song.mp3");
  ASSERT_TRUE(WriteMp3(song, {"S", "Art", "", "", ""}));
  Scan_AddPath(song);
  Scan_AddPath(song);  // a second notice changes nothing
  ASSERT_TRUE(WriteMp3(lib.MediaPath("albums/one/a.mp3")));
  ASSERT_TRUE(WriteJpeg(lib.MediaPath("albums/one/cover.jpg")));
  Scan_AddFolder(lib.MediaPath("albums"));

  int32_t audio = SharedContainer(kContainerAudioFolders, lib.media());
  int32_t deep = ChildNamed(ChildNamed(audio, "new").MyIndex, "deep").MyIndex;
  EXPECT_EQ(Names(Children(deep)), (std::set<std::string>{"song.mp3"}));
  EXPECT_EQ(RowsOfPath(song).size(), 3u);
  EXPECT_EQ(ChildNamed(kContainerAllMusic, "a.mp3").CDCover, "cover.jpg");
  EXPECT_EQ(SharedContainer(kContainerVideoFolders, lib.media()), -1);
  int32_t image = SharedContainer(kContainerImageFolders, lib.media());
  EXPECT_EQ(Names(Children(image)), (std::set<std::string>{"albums", "p.jpg"}));

  std::filesystem::remove(song);
  Scan_RemovePath(song);
  std::filesystem::remove_all(lib.MediaPath("albums"));
  Scan_RemovePath(lib.MediaPath("albums"));

  EXPECT_TRUE(RowsOfPath(song).empty());
  EXPECT_EQ(db_getCount(sql::ByPath(lib.MediaPath("new/deep"))), 0);
  EXPECT_EQ(db_getCount(sql::ByPath(lib.MediaPath("new"))), 0);
  EXPECT_TRUE(Children(kContainerArtist).empty());
  EXPECT_TRUE(Children(kContainerAllMusic).empty());
  EXPECT_EQ(Names(Children(image)), (std::set<std::string>{"p.jpg"}));
  EXPECT_EQ(Scan_LibraryTotals().audio, 0);

  // A video is stored in its own view; a disc image that holds nothing leaves no folder.
  ASSERT_TRUE(WriteVideo(lib.MediaPath("films/clip.mp4")));
  Scan_AddPath(lib.MediaPath("films/clip.mp4"));
  EXPECT_EQ(RowsOfPath(lib.MediaPath("films/clip.mp4")).size(), 2u);
  WriteText(lib.MediaPath("discs/broken.iso"), "");
  Scan_AddPath(lib.MediaPath("discs/broken.iso"));
  EXPECT_TRUE(RowsOfPath(lib.MediaPath("discs")).empty());
  // Hidden names, compressed folders, other kinds and paths outside every shared folder
  // are ignored, as files and as folders.
  for (const std::string& path :
       {lib.MediaPath(".dot.mp3"), lib.MediaPath(".hidden/a.mp3"), lib.MediaPath("pack.zip/b.mp3"),
        lib.MediaPath("notes.txt"), lib.Path("outside/c.mp3")}) {
    ASSERT_TRUE(WriteMp3(path));
    Scan_AddPath(path);
    Scan_AddFolder(std::filesystem::path(path).parent_path());
    EXPECT_TRUE(RowsOfPath(path).empty()) << path;
  }
  EXPECT_EQ(lib.Faults(), std::vector<std::string>{});
}

}  // namespace
