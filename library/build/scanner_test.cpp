#include "library/build/scanner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <tuple>

#include "app/settings.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/library_edit.h"
#include "library/build/testing/scan_library.h"
#include "library/library.h"
#include "library/object_numbers.h"
#include "library/statements.h"
#include "platform/testing/test_support.h"
#include "platform/text.h"

namespace {

using scan_test::ChildNamed;
using scan_test::Children;
using scan_test::ItemCount;
using scan_test::MakeDirs;
using scan_test::Names;
using scan_test::RowsOfPath;
using scan_test::ScanLibrary;
using scan_test::Tags;
using scan_test::WriteJpeg;
using scan_test::WriteMp3;
using scan_test::WriteText;
using scan_test::WriteVideo;

// The shared folder's container under one of the three folder views, or -1.
int32_t SharedContainer(int32_t root, const std::string& folder) {
  return ChildNamed(root, folder).MyIndex;
}

TEST(ScannerClassifyTest, KindsFollowTheFilterTablesAndTheFixedExtensions) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  const std::pair<const char*, int> cases[] = {
      {"a.MP3", kKindAudio},         {"/x.y/clip.mpeg", kKindVideo},  // taken as ".mpg"
      {"movie.srt", kKindCompanion}, {"12.lst", kKindPlaylist},      {"disc.ISO", kKindDiscImage},
      {"README", kKindNone},         {"dir.mp3/README", kKindNone}};
  for (const auto& [name, kind] : cases) EXPECT_EQ(Scan_ClassifyFile(name), kind) << name;
  EXPECT_EQ(Scan_ExtensionIn("a.PLS", kFilterPlaylist), 1);
  EXPECT_EQ(Scan_ExtensionIn("a.mp3", kFilterVideo | kFilterImage), 0);

  // A stored video list restricts the videos a scan finds.
  FillFilterTable(&Filter(kVideoTable), ".avi .mkv");
  EXPECT_EQ(Scan_ClassifyFile("clip.mp4"), kKindNone);
  EXPECT_EQ(Scan_ClassifyFile("clip.MKV"), kKindVideo);
}

TEST(ScannerTest, AudioFilesAreStoredInTheirListFolderAndTheGroupsOfTheTagsTheyHave) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  std::string album = lib.MediaPath("Artist/Album");
  ASSERT_TRUE(WriteMp3(album + "/01.mp3", {"First Song", "The Band", "The Album", "Rock", "3"}));
  ASSERT_TRUE(WriteJpeg(album + "/b.png"));
  ASSERT_TRUE(WriteJpeg(album + "/z.jpg"));
  ASSERT_TRUE(WriteMp3(lib.MediaPath("bare.mp3")));
  Tags albumOnly;
  albumOnly.album = "Lonely Album";
  ASSERT_TRUE(WriteMp3(lib.MediaPath("album.mp3"), albumOnly));

  Scan_SharedFolder(lib.media());

  EXPECT_EQ(RowsOfPath(album + "/01.mp3").size(), 5u);  // "All Music", folder and 3 groups
  // A tagged song's fields are read by the real-client suite.
  MediaRecord all = ChildNamed(kContainerAllMusic, "01.mp3");
  ASSERT_GE(all.MyIndex, kFirstFreeObjectNumber);
  EXPECT_EQ(all.CDCover, "z.jpg");  // ".jpg" is looked up before ".png"
  int32_t root = SharedContainer(kContainerAudioFolders, lib.media());
  int32_t albumDir = ChildNamed(ChildNamed(root, "Artist").MyIndex, "Album").MyIndex;
  EXPECT_EQ(Names(Children(albumDir)), (std::set<std::string>{"01.mp3"}));
  for (int32_t groups : {kContainerArtist, kContainerGenre}) {
    ASSERT_EQ(Children(groups).size(), 1u);
    std::vector<MediaRecord> copies = Children(Children(groups)[0].MyIndex);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].CDCover, "z.jpg");
  }
  // Group copies follow only the tags a file has.
  EXPECT_EQ(Names(Children(kContainerAlbum)), (std::set<std::string>{"The Album", "Lonely Album"}));
  EXPECT_EQ(RowsOfPath(lib.MediaPath("album.mp3")).size(), 3u);
  EXPECT_EQ(RowsOfPath(lib.MediaPath("bare.mp3")).size(), 2u);
  EXPECT_EQ(ChildNamed(kContainerAllMusic, "bare.mp3").Title, "bare.mp3");
  EXPECT_EQ(ChildNamed(kContainerAllMusic, "bare.mp3").CDCover, " ");
  CScanCounts counts = Scan_CurrentCounts();
  EXPECT_EQ(std::tie(counts.files, counts.audio, counts.image), std::make_tuple(5, 3, 2));

  // Scanning again stores nothing new.
  int objects = db_getCount(sql::AllObjects());
  Scan_SharedFolder(lib.media());
  EXPECT_EQ(db_getCount(sql::AllObjects()), objects);
  EXPECT_EQ(Scan_CurrentCounts().duplicates, 5);
}

// Each folder view keeps a folder's container only for the kinds found below it; hidden
// entries, compressed folders and companion files alone keep none.
TEST(ScannerTest, EachFolderViewHoldsOnlyTheFoldersWithItsKind) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteJpeg(lib.MediaPath("a.jpg")));
  MakeDirs(lib.MediaPath("empty/deeper"));
  WriteText(lib.MediaPath("lists/mix.m3u"), "#EXTM3U\n");
  ASSERT_TRUE(WriteVideo(lib.MediaPath("movies/clip.mp4")));
  WriteText(lib.MediaPath("movies/clip.srt"), "1\n00:00:00,000 --> 00:00:01,000\nHi\n");
  WriteText(lib.MediaPath("subs-only/other.srt"), "1\n");
  for (const char* hidden : {".hidden.mp3", ".secret/a.mp3", "pack.zip/b.mp3"}) {
    ASSERT_TRUE(WriteMp3(lib.MediaPath(hidden)));
  }
  WriteText(lib.MediaPath("notes.txt"), "x");
  // Motion JPEG in AVI is not one of the codecs clients play as they are.
  ASSERT_TRUE(platform::testing::RunFfmpeg({"-f", "lavfi", "-i", "testsrc=s=64x48:d=1:r=5", "-c:v",
                                            "mjpeg", lib.MediaPath("mjpeg.avi")}));

  Scan_SharedFolder(lib.media());

  EXPECT_EQ(Names(Children(SharedContainer(kContainerImageFolders, lib.media()))),
            (std::set<std::string>{"a.jpg"}));
  EXPECT_EQ(Names(Children(SharedContainer(kContainerAudioFolders, lib.media()))),
            (std::set<std::string>{"lists"}));
  EXPECT_EQ(Names(Children(SharedContainer(kContainerVideoFolders, lib.media()))),
            (std::set<std::string>{"movies", "mjpeg.avi"}));
  EXPECT_EQ(db_getCount(sql::ByPath(lib.MediaPath("empty"))), 0);
  EXPECT_EQ(db_getCount(sql::ByPath(lib.MediaPath("empty/deeper"))), 0);
  EXPECT_EQ(Names(Children(kContainerAllMusic)), (std::set<std::string>{"mix.m3u"}));
  EXPECT_EQ(ChildNamed(kContainerAllVideos, "clip.mp4").FileType, "Video");
  EXPECT_EQ(ChildNamed(kContainerAllVideos, "clip.srt").FileType, "");  // no video of its own
  // The metadata's flags reach every row of the file.
  std::vector<MediaRecord> mjpeg = RowsOfPath(lib.MediaPath("mjpeg.avi"));
  ASSERT_EQ(mjpeg.size(), 2u);
  for (const MediaRecord& r : mjpeg) EXPECT_EQ(r.Flags, kFlagNonDivxAvi) << r.pIndex;
  CScanCounts counts = Scan_CurrentCounts();
  EXPECT_EQ(std::tie(counts.files, counts.video, counts.unsupported), std::make_tuple(6, 2, 1));
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

TEST(ScannerRobustnessTest, DamagedFilesAndAwkwardNamesAreStored) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  std::string random(4096, '\0');
  for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>((i * 7919 + 13) % 251);
  WriteText(lib.MediaPath("random.mp3"), random);
  WriteText(lib.MediaPath("random.jpg"), random);
  WriteText(lib.MediaPath("random.avi"),
            "RIFF\x10\x00\x00\x00"
            "AVI LIST");
  WriteText(lib.MediaPath("empty.mp4"), "");
  ASSERT_TRUE(WriteMp3(lib.Path("whole.mp3")));
  std::string full = platform::testing::ReadFile(lib.Path("whole.mp3"));
  WriteText(lib.MediaPath("truncated.mp3"), full.substr(0, full.size() / 3));
  WriteText(lib.MediaPath("header-only.mp3"), full.substr(0, 40));
  const std::vector<std::string> awkward = {"say \"hi\".mp3", "it's.mp3", "line\nbreak.mp3",
                                            "bad-\xff\xfe-utf8.mp3",
                                            std::string(251, 'n') + ".mp3"};
  for (const std::string& name : awkward) ASSERT_TRUE(WriteMp3(lib.MediaPath(name)));

  Scan_SharedFolder(lib.media());

  std::vector<std::string> all = awkward;
  all.insert(all.end(), {"random.mp3", "truncated.mp3", "header-only.mp3", "random.jpg",
                         "random.avi", "empty.mp4"});
  for (const std::string& name : all) EXPECT_EQ(RowsOfPath(lib.MediaPath(name)).size(), 2u) << name;
  // Names and titles are valid text for clients; the path keeps the bytes of the file.
  std::vector<MediaRecord> bad = RowsOfPath(lib.MediaPath("bad-\xff\xfe-utf8.mp3"));
  ASSERT_FALSE(bad.empty());
  EXPECT_TRUE(platform::IsValidUtf8(bad[0].FileName));
  EXPECT_TRUE(platform::IsValidUtf8(bad[0].Title));
  EXPECT_EQ(ChildNamed(kContainerAllMusic, "say \"hi\".mp3").Title, "say \"hi\".mp3");
}

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

TEST(ScannerRobustnessTest, FoldersThatVanishOrChangeDuringTheScanAreSkipped) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath("a-first/one.mp3")));
  ASSERT_TRUE(WriteMp3(lib.MediaPath("b-doomed/two.mp3")));
  ASSERT_TRUE(WriteMp3(lib.MediaPath("c-replaced/three.mp3")));
  ASSERT_TRUE(WriteMp3(lib.MediaPath("d-last/four.mp3")));
  // While the first folder is being scanned, the second is deleted and the third is
  // replaced by a file: both were listed but are unreadable when reached.
  std::string first = lib.MediaPath("a-first/one.mp3");
  Scan_SetEntryHookForTest([&](const std::string& path) {
    if (path != first) return;
    std::filesystem::remove_all(lib.MediaPath("b-doomed"));
    std::filesystem::remove_all(lib.MediaPath("c-replaced"));
    WriteText(lib.MediaPath("c-replaced"), "now a file");
  });

  Scan_SharedFolder(lib.media());

  EXPECT_EQ(Names(Children(kContainerAllMusic)), (std::set<std::string>{"one.mp3", "four.mp3"}));
  int32_t audio = SharedContainer(kContainerAudioFolders, lib.media());
  EXPECT_EQ(Names(Children(audio)), (std::set<std::string>{"a-first", "d-last"}));
  EXPECT_EQ(lib.Faults(), std::vector<std::string>{});
}

TEST(ScannerRobustnessTest, AbortStopsAfterTheCurrentEntryAndKeepsWhatWasStored) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(WriteMp3(lib.MediaPath("f" + std::to_string(10 + i) + ".mp3")));
  }
  int seen = 0;
  Scan_SetEntryHookForTest([&](const std::string&) {
    if (++seen == 5) Scanner().abort = true;
  });

  Scan_SharedFolder(lib.media());

  EXPECT_EQ(seen, 5);
  EXPECT_EQ(ItemCount(kContainerAllMusic), 5);
  int32_t audio = SharedContainer(kContainerAudioFolders, lib.media());
  EXPECT_EQ(ItemCount(audio), 5);
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

TEST(ScannerTest, ClearEmptiesTheLibraryAndTheWorkingDirectories) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath("a.mp3")));
  Lib_AddSharedFolder(lib.media());
  Scan_SharedFolder(lib.media());
  WriteText(lib.Path("cache/sub/1.hdx"), "x");
  WriteText(lib.Path("thumbnail/1.bmp"), "x");
  int feedRefreshes = 0;
  Scan_SetFeedRefresh([&] { ++feedRefreshes; });

  Lib_Clear();
  Scan_SetFeedRefresh(nullptr);
  g_nextMyIndex = 500;
  FST_BuildTree();  // built again over a whole tree (each start does): nothing is added

  EXPECT_EQ(db_getCount(sql::AllObjects()), 28);
  EXPECT_EQ(db_countSharedFolders(), 0);
  EXPECT_EQ(g_nextMyIndex.load(), kFirstFreeObjectNumber);
  EXPECT_EQ(Scan_LibraryTotals().files, 0);
  EXPECT_EQ(feedRefreshes, 1);
  EXPECT_TRUE(std::filesystem::is_directory(lib.Path("cache")));
  EXPECT_TRUE(std::filesystem::is_empty(lib.Path("cache")));
  EXPECT_TRUE(std::filesystem::is_empty(lib.Path("thumbnail")));
}

}  // namespace
