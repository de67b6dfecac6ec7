#include "library/build/playlist_import.h"

#include <gtest/gtest.h>

#include <set>

#include "library/build/container_tree.h"
#include "library/build/library_edit.h"
#include "library/build/scanner.h"
#include "library/build/testing/scan_library.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/file_info.h"
#include "platform/testing/test_support.h"

namespace {

using scan_test::ChildNamed;
using scan_test::Children;
using scan_test::ScanLibrary;
using scan_test::WriteMp3;
using scan_test::WriteText;

using Entries = std::vector<std::string>;

TEST(PlaylistParseTest, EachKindFindsItsEntries) {
  EXPECT_EQ(Playlist_ParseEntries("#EXTM3U\r\n#EXTINF:1,x\r\na.mp3\r\n\r\n  b.mp3 \nsub/c.mp3",
                                  kPlaylistM3u),
            (Entries{"a.mp3", "b.mp3", "sub/c.mp3"}));
  EXPECT_EQ(Playlist_ParseEntries("[playlist]\nFile1=/music/a.mp3\nTitle1=Song\nFILE2=b=c.mp3\n"
                                  "NumberOfEntries=2\n",
                                  kPlaylistPls),
            (Entries{"/music/a.mp3", "b=c.mp3"}));
  EXPECT_EQ(Playlist_ParseEntries("<asx><entry><ref HREF=\"x &amp; y.mp3\"/></entry>\n"
                                  "<entry><ref href=broken/></entry></asx>",
                                  kPlaylistAsx),
            (Entries{"x & y.mp3"}));
  EXPECT_EQ(Playlist_ParseEntries("<smil><body><seq>\n<media src=\"..\\Music\\a.mp3\"/>\n"
                                  "<MEDIA tid=\"1\" SRC=\"b.mp3\"/>\n<src=\"no.mp3\"/>\n",
                                  kPlaylistWpl),
            (Entries{"..\\Music\\a.mp3", "b.mp3"}));
}

TEST(PlaylistParseTest, EntriesResolveAgainstThePlaylistFolder) {
  EXPECT_EQ(Playlist_ResolveEntry("a.mp3", "/m/lists"), "/m/lists/a.mp3");
  EXPECT_EQ(Playlist_ResolveEntry("../x/./b.mp3", "/m/lists"), "/m/x/b.mp3");
  EXPECT_EQ(Playlist_ResolveEntry("../../../../c.mp3", "/m/lists"), "/c.mp3");
  EXPECT_EQ(Playlist_ResolveEntry("/abs//d.mp3", "/m"), "/abs/d.mp3");
  EXPECT_EQ(Playlist_ResolveEntry("file:///m/e%20f.mp3", "/x"), "/m/e f.mp3");
  EXPECT_EQ(Playlist_ResolveEntry("http://radio/stream.mp3", "/x"), "");
}

TEST(PlaylistImportTest, ScannedPlaylistListsKnownAndNewEntries) {
  ScanLibrary lib_;
  ASSERT_TRUE(lib_.ok());
  ASSERT_TRUE(WriteMp3(lib_.MediaPath("music/known.mp3")));
  ASSERT_TRUE(WriteMp3(lib_.MediaPath("elsewhere/one.mp3")));
  ASSERT_TRUE(WriteMp3(lib_.MediaPath("elsewhere/two.mp3")));
  ASSERT_TRUE(scan_test::WriteVideo(lib_.MediaPath("music/clip.mp4")));
  WriteText(lib_.MediaPath("music/mix.m3u"),
            "#EXTM3U\n#EXTINF:1,Known\nknown.mp3\n../elsewhere/one.mp3\n"
            "../elsewhere/two.mp3\nclip.mp4\nmissing.mp3\n");

  // The music folder is scanned before "elsewhere" is known.
  Scan_SharedFolder(lib_.MediaPath("music"));

  MediaRecord inAll = ChildNamed(kContainerAllMusic, "mix.m3u");
  EXPECT_EQ(inAll.Flags, kFlagPlaylist);
  int32_t folder = ChildNamed(kContainerAudioFolders, lib_.MediaPath("music")).MyIndex;
  MediaRecord item = ChildNamed(folder, "mix.m3u");
  ASSERT_GE(item.MyIndex, 0);
  // Both rows name one list file, numbered by the folder row.
  EXPECT_EQ(item.FilePath, lib_.Path("cache/" + std::to_string(item.MyIndex) + ".lst"));
  EXPECT_EQ(inAll.FilePath, item.FilePath);
  std::vector<MediaRecord> entries = Children(item.MyIndex);
  EXPECT_EQ(scan_test::Names(entries), (std::set<std::string>{"one.mp3", "two.mp3"}));
  for (const MediaRecord& e : entries) EXPECT_EQ(e.Flags, kFlagPlaylistEntry);
  EXPECT_EQ(platform::testing::ReadFile(item.FilePath),
            std::to_string(ChildNamed(kContainerAllMusic, "known.mp3").MyIndex) + "/known.mp3\r\n" +
                std::to_string(ChildNamed(item.MyIndex, "one.mp3").MyIndex) + "/one.mp3\r\n" +
                std::to_string(ChildNamed(item.MyIndex, "two.mp3").MyIndex) + "/two.mp3\r\n");
  // Entry items are not files of the scan; the playlist counts once.
  CScanCounts counts = Scan_CurrentCounts();
  EXPECT_EQ(counts.files, 3);  // known.mp3, clip.mp4, the playlist
  EXPECT_EQ(counts.playlists, 1);
  // Scanning again imports the playlist anew over the entry items it stored.
  int objects = db_getCount(sql::AllObjects());
  Scan_SharedFolder(lib_.MediaPath("music"));
  EXPECT_EQ(db_getCount(sql::AllObjects()), objects);

  // Deleting the folder deletes the playlist, its entries and its list file.
  Lib_DeleteSubtree(folder);
  EXPECT_EQ(db_getCount(sql::Children(item.MyIndex)), 0);
  EXPECT_EQ(db_getCount(sql::ByPath(item.FilePath)), 0);
  EXPECT_FALSE(platform::FileExists(item.FilePath));
  EXPECT_EQ(Scan_LibraryTotals().playlists, 0);

  // A playlist that cannot be read, or a file that is none, leaves no list file.
  for (const char* none : {"music/absent.m3u", "music/known.mp3"}) {
    Playlist_Import(lib_.MediaPath(none), item.FilePath, kFirstFreeObjectNumber);
    EXPECT_FALSE(platform::FileExists(item.FilePath)) << none;
  }
}

}  // namespace
