#include "library/build/scanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "app/settings.h"
#include "library/build/container_tree.h"
#include "library/build/scan_test_support.h"
#include "library/library.h"
#include "library/object_numbers.h"
#include "library/statements.h"
#include "platform/app_directory.h"
#include "platform/test_support.h"
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

TEST(ScannerTest, AudioFileIsStoredInItsListFolderAndGroupsWithTagsAndCover) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  std::string album = lib.MediaPath("Artist/Album");
  MakeDirs(album);
  ASSERT_TRUE(WriteMp3(album + "/01.mp3", {"First Song", "The Band", "The Album", "Rock", "3"}));
  ASSERT_TRUE(WriteJpeg(album + "/b.png"));
  ASSERT_TRUE(WriteJpeg(album + "/z.jpg"));

  Scan_SharedFolder(lib.media());

  std::vector<MediaRecord> rows = RowsOfPath(album + "/01.mp3");
  ASSERT_EQ(rows.size(), 5u);  // "All Music", folder, artist, genre, album
  MediaRecord all = ChildNamed(kContainerAllMusic, "01.mp3");
  ASSERT_GE(all.MyIndex, kFirstFreeObjectNumber);
  EXPECT_EQ(all.Title, "First Song");
  EXPECT_EQ(all.Author, "The Band");
  EXPECT_EQ(all.Album, "The Album");
  EXPECT_EQ(all.Genre, "Rock");
  EXPECT_EQ(all.TrackNo, 3);
  EXPECT_EQ(all.FileType, "Audio");
  EXPECT_EQ(all.CDCover, "z.jpg");  // ".jpg" is looked up before ".png"
  EXPECT_GT(all.FileSize, 0);
  EXPECT_GE(all.Duration, 0);

  int32_t root = SharedContainer(kContainerAudioFolders, lib.media());
  ASSERT_GE(root, 0);
  int32_t artistDir = ChildNamed(root, "Artist").MyIndex;
  int32_t albumDir = ChildNamed(artistDir, "Album").MyIndex;
  ASSERT_GE(albumDir, 0);
  EXPECT_EQ(Names(Children(albumDir)), (std::set<std::string>{"01.mp3"}));

  int32_t artist = ChildNamed(kContainerArtist, "The Band").MyIndex;
  int32_t genre = ChildNamed(kContainerGenre, "Rock").MyIndex;
  int32_t albumGroup = ChildNamed(kContainerAlbum, "The Album").MyIndex;
  ASSERT_GE(artist, 0);
  ASSERT_GE(genre, 0);
  ASSERT_GE(albumGroup, 0);
  for (int32_t group : {artist, genre, albumGroup}) {
    ASSERT_EQ(Children(group).size(), 1u);
    EXPECT_EQ(Children(group)[0].CDCover, "z.jpg");
  }
  // The pictures went to the image view; nothing was a video.
  EXPECT_EQ(ItemCount(kContainerAllImages), 2);
  EXPECT_EQ(SharedContainer(kContainerVideoFolders, lib.media()), -1);
  ScanCounts counts = Scan_CurrentCounts();
  EXPECT_EQ(counts.files, 3);
  EXPECT_EQ(counts.audio, 1);
  EXPECT_EQ(counts.image, 2);

  // Scanning again stores nothing new.
  int objects = db_getCount(sql::AllObjects());
  Scan_SharedFolder(lib.media());
  EXPECT_EQ(db_getCount(sql::AllObjects()), objects);
  EXPECT_EQ(Scan_CurrentCounts().duplicates, 3);
}

TEST(ScannerTest, GroupCopiesFollowOnlyTheTagsAFileHas) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath("bare.mp3")));
  Tags albumOnly;
  albumOnly.album = "Lonely Album";
  ASSERT_TRUE(WriteMp3(lib.MediaPath("album.mp3"), albumOnly));

  Scan_SharedFolder(lib.media());

  EXPECT_EQ(RowsOfPath(lib.MediaPath("bare.mp3")).size(), 2u);
  EXPECT_EQ(ChildNamed(kContainerAllMusic, "bare.mp3").Title, "bare.mp3");
  EXPECT_EQ(ChildNamed(kContainerAllMusic, "bare.mp3").CDCover, " ");
  EXPECT_EQ(RowsOfPath(lib.MediaPath("album.mp3")).size(), 3u);
  EXPECT_TRUE(Children(kContainerArtist).empty());
  EXPECT_TRUE(Children(kContainerGenre).empty());
  EXPECT_EQ(Names(Children(kContainerAlbum)), (std::set<std::string>{"Lonely Album"}));
}

TEST(ScannerTest, FolderOfPicturesKeepsOnlyItsImageContainer) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteJpeg(lib.MediaPath("a.jpg")));
  MakeDirs(lib.MediaPath("empty/deeper"));
  MakeDirs(lib.MediaPath("lists"));
  WriteText(lib.MediaPath("lists/mix.m3u"), "#EXTM3U\n");

  Scan_SharedFolder(lib.media());

  int32_t image = SharedContainer(kContainerImageFolders, lib.media());
  ASSERT_GE(image, 0);
  EXPECT_EQ(Names(Children(image)), (std::set<std::string>{"a.jpg"}));
  EXPECT_EQ(SharedContainer(kContainerVideoFolders, lib.media()), -1);
  // A subfolder that holds only a playlist keeps its audio container.
  int32_t audio = SharedContainer(kContainerAudioFolders, lib.media());
  ASSERT_GE(audio, 0);
  EXPECT_EQ(Names(Children(audio)), (std::set<std::string>{"lists"}));
  EXPECT_EQ(db_getCount(sql::ByPath(lib.MediaPath("empty"))), 0);
  EXPECT_EQ(db_getCount(sql::ByPath(lib.MediaPath("empty/deeper"))), 0);
}

TEST(ScannerTest, VideosAndCompanionFilesGoToTheVideoViews) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteVideo(lib.MediaPath("movies/clip.mp4")));
  WriteText(lib.MediaPath("movies/clip.srt"), "1\n00:00:00,000 --> 00:00:01,000\nHi\n");
  WriteText(lib.MediaPath("subs-only/other.srt"), "1\n");

  Scan_SharedFolder(lib.media());

  MediaRecord clip = ChildNamed(kContainerAllVideos, "clip.mp4");
  ASSERT_GE(clip.MyIndex, 0);
  EXPECT_EQ(clip.FileType, "Video");
  MediaRecord subtitle = ChildNamed(kContainerAllVideos, "clip.srt");
  ASSERT_GE(subtitle.MyIndex, 0);
  EXPECT_EQ(subtitle.FileType, "");  // a companion is no video of its own
  int32_t video = SharedContainer(kContainerVideoFolders, lib.media());
  ASSERT_GE(video, 0);
  // A folder holding only a companion file keeps no video container.
  EXPECT_EQ(Names(Children(video)), (std::set<std::string>{"movies"}));
  ScanCounts counts = Scan_CurrentCounts();
  EXPECT_EQ(counts.video, 1);
  EXPECT_EQ(counts.files, 3);
}

TEST(ScannerTest, VideoFlagsOfTheMetadataReachEveryRowOfTheFile) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  // Motion JPEG in AVI is not one of the codecs clients play as they are.
  ASSERT_TRUE(scan_test::Run("ffmpeg -v error -y -f lavfi -i testsrc=s=64x48:d=1:r=5 -c:v mjpeg " +
                             scan_test::Quote(lib.MediaPath("mjpeg.avi"))));

  Scan_SharedFolder(lib.media());

  std::vector<MediaRecord> rows = RowsOfPath(lib.MediaPath("mjpeg.avi"));
  ASSERT_EQ(rows.size(), 2u);
  for (const MediaRecord& r : rows) EXPECT_EQ(r.Flags, kFlagNonDivxAvi) << r.PIndex;
}

TEST(ScannerTest, HiddenEntriesAndCompressedFoldersAreSkipped) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath(".hidden.mp3")));
  ASSERT_TRUE(WriteMp3(lib.MediaPath(".secret/a.mp3")));
  ASSERT_TRUE(WriteMp3(lib.MediaPath("pack.zip/b.mp3")));
  ASSERT_TRUE(WriteMp3(lib.MediaPath("shown.mp3")));
  WriteText(lib.MediaPath("notes.txt"), "x");

  Scan_SharedFolder(lib.media());

  EXPECT_EQ(Names(Children(kContainerAllMusic)), (std::set<std::string>{"shown.mp3"}));
  EXPECT_EQ(Scan_CurrentCounts().unsupported, 1);
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

  Lib_RemoveSharedFolder(lib.media());

  EXPECT_TRUE(RowsOfPath(inner + "/song.mp3").empty());
  EXPECT_TRUE(Children(kContainerArtist).empty());  // the empty group goes too
  EXPECT_EQ(Scan_LibraryTotals().audio, 0);
  EXPECT_EQ(Scan_LibraryTotals().files, 0);
  EXPECT_EQ(scan_test::ConsistencyFaults(lib.Path("Orvex.mdb")), std::vector<std::string>{});
}

TEST(ScannerTest, MissingSharedFolderIsRemovedWhenScanned) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  std::string gone = lib.MediaPath("gone");
  ASSERT_TRUE(WriteMp3(gone + "/a.mp3"));
  Lib_AddSharedFolder(gone);
  Scan_SharedFolder(gone);
  ASSERT_EQ(ItemCount(kContainerAllMusic), 1);
  std::filesystem::remove_all(gone);

  Scan_SharedFolder(gone);

  EXPECT_EQ(db_countSharedFolders(), 0);
  EXPECT_EQ(ItemCount(kContainerAllMusic), 0);
  EXPECT_EQ(SharedContainer(kContainerAudioFolders, gone), -1);
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
  EXPECT_EQ(scan_test::ConsistencyFaults(lib.Path("Orvex.mdb")), std::vector<std::string>{});
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
  EXPECT_EQ(scan_test::ConsistencyFaults(lib.Path("Orvex.mdb")), std::vector<std::string>{});
}

TEST(ScannerRobustnessTest, AbortStopsAfterTheCurrentEntryAndKeepsWhatWasStored) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(WriteMp3(lib.MediaPath("f" + std::to_string(10 + i) + ".mp3")));
  }
  int seen = 0;
  Scan_SetEntryHookForTest([&](const std::string&) {
    if (++seen == 5) g_scanAbort = true;
  });

  Scan_SharedFolder(lib.media());

  EXPECT_EQ(seen, 5);
  EXPECT_EQ(ItemCount(kContainerAllMusic), 5);
  int32_t audio = SharedContainer(kContainerAudioFolders, lib.media());
  EXPECT_EQ(ItemCount(audio), 5);
  EXPECT_EQ(scan_test::ConsistencyFaults(lib.Path("Orvex.mdb")), std::vector<std::string>{});
}

// ---- Deleting and the incremental forms ----

TEST(ScannerTest, DeleteSubtreeLowersTotalsAndDropsEmptyGroups) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath("x/a.mp3"), {"A", "Shared Artist", "Alb", "Pop", "1"}));
  ASSERT_TRUE(WriteMp3(lib.MediaPath("y/b.mp3"), {"B", "Shared Artist", "", "", "2"}));
  ASSERT_TRUE(WriteJpeg(lib.MediaPath("x/p.jpg")));
  Scan_SharedFolder(lib.media());
  ASSERT_EQ(Scan_LibraryTotals().files, 3);
  int32_t audio = SharedContainer(kContainerAudioFolders, lib.media());
  int32_t x = ChildNamed(audio, "x").MyIndex;
  ASSERT_GE(x, 0);

  Lib_DeleteSubtree(x);

  EXPECT_TRUE(RowsOfPath(lib.MediaPath("x/a.mp3")).empty());
  EXPECT_EQ(Scan_LibraryTotals().audio, 1);
  EXPECT_EQ(Scan_LibraryTotals().files, 2);
  EXPECT_EQ(Names(Children(kContainerArtist)), (std::set<std::string>{"Shared Artist"}));
  EXPECT_TRUE(Children(kContainerAlbum).empty());
  EXPECT_TRUE(Children(kContainerGenre).empty());
  EXPECT_EQ(RowsOfPath(lib.MediaPath("x/p.jpg")).size(), 2u);  // the image view is apart
}

TEST(ScannerIncrementalTest, AddedAndRemovedFilesUpdateTheirContainerChains) {
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

  int32_t audio = SharedContainer(kContainerAudioFolders, lib.media());
  ASSERT_GE(audio, 0);
  int32_t deep = ChildNamed(ChildNamed(audio, "new").MyIndex, "deep").MyIndex;
  EXPECT_EQ(Names(Children(deep)), (std::set<std::string>{"song.mp3"}));
  EXPECT_EQ(RowsOfPath(song).size(), 3u);
  EXPECT_EQ(SharedContainer(kContainerVideoFolders, lib.media()), -1);

  std::filesystem::remove(song);
  Scan_RemovePath(song);

  EXPECT_TRUE(RowsOfPath(song).empty());
  EXPECT_EQ(db_getCount(sql::ByPath(lib.MediaPath("new/deep"))), 0);
  EXPECT_EQ(db_getCount(sql::ByPath(lib.MediaPath("new"))), 0);
  EXPECT_TRUE(Children(kContainerArtist).empty());
  EXPECT_GE(SharedContainer(kContainerImageFolders, lib.media()), 0);

  // A path outside every shared folder is ignored.
  ASSERT_TRUE(WriteMp3(lib.Path("outside.mp3")));
  Scan_AddPath(lib.Path("outside.mp3"));
  EXPECT_TRUE(RowsOfPath(lib.Path("outside.mp3")).empty());
  EXPECT_EQ(scan_test::ConsistencyFaults(lib.Path("Orvex.mdb")), std::vector<std::string>{});
}

TEST(ScannerIncrementalTest, AddedAndRemovedFoldersAreScannedAndDeleted) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath("old.mp3")));
  Lib_AddSharedFolder(lib.media());
  Scan_SharedFolder(lib.media());

  ASSERT_TRUE(WriteMp3(lib.MediaPath("albums/one/a.mp3")));
  ASSERT_TRUE(WriteJpeg(lib.MediaPath("albums/one/cover.jpg")));
  Scan_AddFolder(lib.MediaPath("albums"));

  EXPECT_EQ(ItemCount(kContainerAllMusic), 2);
  EXPECT_EQ(ChildNamed(kContainerAllMusic, "a.mp3").CDCover, "cover.jpg");
  int32_t image = SharedContainer(kContainerImageFolders, lib.media());
  ASSERT_GE(image, 0);
  EXPECT_EQ(Names(Children(image)), (std::set<std::string>{"albums"}));

  std::filesystem::remove_all(lib.MediaPath("albums"));
  Scan_RemovePath(lib.MediaPath("albums"));

  EXPECT_EQ(Names(Children(kContainerAllMusic)), (std::set<std::string>{"old.mp3"}));
  EXPECT_EQ(SharedContainer(kContainerImageFolders, lib.media()), -1);
  EXPECT_EQ(Scan_LibraryTotals().audio, 1);
  EXPECT_EQ(scan_test::ConsistencyFaults(lib.Path("Orvex.mdb")), std::vector<std::string>{});
}

TEST(ScannerTest, ClearEmptiesTheLibraryAndTheWorkingDirectories) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath("a.mp3")));
  Lib_AddSharedFolder(lib.media());
  Scan_SharedFolder(lib.media());
  MakeDirs(lib.Path("cache/sub"));
  WriteText(lib.Path("cache/sub/1.hdx"), "x");
  WriteText(lib.Path("thumbnail/1.bmp"), "x");
  int feedRefreshes = 0;
  Scan_SetFeedRefresh([&] { ++feedRefreshes; });

  Lib_Clear();
  Scan_SetFeedRefresh(nullptr);

  EXPECT_EQ(db_getCount(sql::AllObjects()), 28);
  EXPECT_EQ(db_countSharedFolders(), 0);
  EXPECT_EQ(g_nextMyIndex.load(), kFirstFreeObjectNumber);
  EXPECT_EQ(Scan_LibraryTotals().files, 0);
  EXPECT_EQ(feedRefreshes, 1);
  EXPECT_TRUE(std::filesystem::is_directory(lib.Path("cache")));
  EXPECT_TRUE(std::filesystem::is_empty(lib.Path("cache")));
  EXPECT_TRUE(std::filesystem::is_empty(lib.Path("thumbnail")));
}

TEST(ScannerTest, AddObjectReportsExistingObjectsAndNegativeParents) {
  ScanLibrary lib;
  ASSERT_TRUE(lib.ok());
  ASSERT_TRUE(WriteMp3(lib.MediaPath("a.mp3")));
  EXPECT_EQ(FST_AddObject(-1, kObjectItem, lib.MediaPath("a.mp3"), "a.mp3", kKindAudio), 0);
  int first =
      FST_AddObject(kContainerAllMusic, kObjectItem, lib.MediaPath("a.mp3"), "a.mp3", kKindAudio);
  ASSERT_EQ(first, kFirstFreeObjectNumber + 1);
  EXPECT_EQ(
      FST_AddObject(kContainerAllMusic, kObjectItem, lib.MediaPath("a.mp3"), "a.mp3", kKindAudio),
      first);
  int folder =
      FST_AddObject(kContainerAudioFolders, kObjectContainer, lib.media(), lib.media(), kKindAudio);
  EXPECT_EQ(
      FST_AddObject(kContainerAudioFolders, kObjectContainer, lib.media(), lib.media(), kKindAudio),
      folder);
  EXPECT_EQ(Scan_CurrentCounts().duplicates, 1);
}

}  // namespace
