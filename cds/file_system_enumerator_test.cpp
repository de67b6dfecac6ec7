#include "cds/file_system_enumerator.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "cds/cds_limits.h"
#include "library/build/container_tree.h"
#include "library/build/library_edit.h"
#include "library/build/scanner.h"
#include "library/build/testing/scan_library.h"
#include "library/library.h"
#include "library/statements.h"
#include "media/media_type.h"

namespace {

using scan_test::ChildNamed;
using scan_test::MakeDirs;

// One scanned library for the whole suite: making real media takes seconds.
class EnumeratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    lib_ = std::make_unique<scan_test::ScanLibrary>();
    ASSERT_TRUE(lib_->ok());
    MakeDirs(lib_->MediaPath("Rock"));
    MakeDirs(lib_->MediaPath("Jazz"));
    MakeDirs(lib_->MediaPath("Pics"));
    ASSERT_TRUE(scan_test::WriteMp3(lib_->MediaPath("Rock/a1.mp3"),
                                    {"Alpha", "The Band", "First Album", "Rock", "1"}));
    ASSERT_TRUE(scan_test::WriteMp3(lib_->MediaPath("Rock/a2.mp3"),
                                    {"Beta", "The Band", "First Album", "Rock", "2"}));
    ASSERT_TRUE(scan_test::WriteMp3(lib_->MediaPath("Jazz/b1.mp3"),
                                    {"Gamma", "Other Artist", "Second Album", "Jazz", ""}));
    ASSERT_TRUE(scan_test::WriteMp3(lib_->MediaPath("Jazz/Tom & Jerry.mp3")));
    ASSERT_TRUE(scan_test::WriteJpeg(lib_->MediaPath("Pics/p1.jpg")));
    ASSERT_TRUE(scan_test::WriteJpeg(lib_->MediaPath("Pics/p2.png")));
    ASSERT_TRUE(scan_test::WriteVideo(lib_->MediaPath("clip.mkv")));  // MPEG-4 under another name
    ASSERT_EQ(Lib_AddSharedFolder(lib_->media()), 1);
    Scan_SharedFolder(lib_->media());
    // A tag with double quotes, which the shell of the media writer would not pass.
    ASSERT_TRUE(db_execute(sql::UpdateTags(lib_->MediaPath("Jazz/b1.mp3"), "Gamma",
                                           "Other \"Quoted\" Artist", "Second Album", "Jazz")));
    // An internet video item under "Internet Videos".
    Insert(5000, kContainerInternetVideos, 0, kObjectItem, "http://example.net/stream.mkv",
           "stream.mkv", 1);
  }
  static void Insert(int32_t index, int32_t parent, int32_t flags, int32_t type,
                     const std::string& path, const std::string& name, int32_t internet = 0) {
    ObjectRow row;
    row.MyIndex = index;
    row.pIndex = parent;
    row.Flags = flags;
    row.ObjectType = row.ProcessObjectType = type;
    row.FilePath = path;
    row.FileName = name;
    row.FileType = type == kObjectItem ? (internet ? "Video" : "Audio") : "";
    row.InternetFlags = internet;
    ASSERT_TRUE(db_execute(sql::InsertObject(row)));
  }
  static void TearDownTestSuite() { lib_.reset(); }

  void SetUp() override { fse_ = FSE_Create("./"); }

  FseAnswer Ask(int kind, const std::string& id, uint32_t start = 0, uint32_t count = 0,
                const std::string& criteria = "*") {
    FseRequest request;
    request.kind = kind;
    request.objectId = id;
    request.startingIndex = start;
    request.position = start;
    request.requestedCount = count;
    request.searchCriteria = criteria;
    return FSE_Answer(fse_.get(), request);
  }
  FseAnswer Search(const std::string& criteria, const std::string& id = "0", uint32_t start = 0,
                   uint32_t count = 0) {
    return Ask(kFseSearch, id, start, count, criteria);
  }
  // The titles of the answer's objects, sorted and joined by commas.
  static std::string Titles(const FseAnswer& answer) {
    std::set<std::string> titles;
    for (const FseEntry& e : answer.entries) titles.insert(e.object.title);
    std::string out;
    for (const std::string& t : titles) out += (out.empty() ? "" : ",") + t;
    return out;
  }
  static int32_t Index(int32_t parent, const std::string& name) {
    return ChildNamed(parent, name).MyIndex;
  }

  static std::unique_ptr<scan_test::ScanLibrary> lib_;
  std::unique_ptr<FileSystemEnumerator> fse_;
};

std::unique_ptr<scan_test::ScanLibrary> EnumeratorTest::lib_;

// Browsing every container, its childCount, the playlist's order and the fault codes of a
// real client are proven by the real-client suite; these are the edges it does not reach.
TEST_F(EnumeratorTest, ObjectNumbersAndTheRootsParent) {
  EXPECT_EQ(Search("*", std::to_string(Index(kContainerAllMusic, "a1.mp3"))).error,
            kCdsErrorNoSuchContainer);
  for (const char* id : {"abc", "", "99999999999999", "4 or 1=1"})
    EXPECT_EQ(Ask(kFseBrowseMetadata, id).error, kCdsErrorNoSuchObject) << id;
  EXPECT_EQ(FSE_ObjectNumber(" 12abc"), 12);
  EXPECT_EQ(FSE_ObjectNumber("-99999999999999999999"), INT32_MIN);
  EXPECT_EQ(Ask(kFseBrowseMetadata, "0").entries.at(0).object.parentID, "-1");
  EXPECT_TRUE(Ask(kFseBrowseDirectChildren, "4", 4000000000u, 0).entries.empty());
}

// The playlist is stored outside the tree, so that the other answers stay as they are.
TEST_F(EnumeratorTest, APlaylistLeavesOutTheLinesThatNameNoItem) {
  const std::string a1 = std::to_string(Index(kContainerAllMusic, "a1.mp3"));
  const std::string a2 = std::to_string(Index(kContainerAllMusic, "a2.mp3"));
  MakeDirs(lib_->Path("cache"));
  const std::string list = lib_->Path("cache/7001.lst");
  // Gone, a container, no number.
  scan_test::WriteText(
      list, a2 + "/a2.mp3\r\n999999/gone.mp3\r\n4/Music\r\n0/x\r\n" + a1 + "/a1.mp3\r\n");
  Insert(7000, 999999, 0, kObjectContainer, lib_->MediaPath("Mixes"), "Mixes");
  Insert(7001, 7000, kFlagPlaylist, kObjectItem, list, "mix.m3u");
  FseAnswer folder = Ask(kFseBrowseDirectChildren, "7000");
  ASSERT_EQ(folder.entries.size(), 1u);
  EXPECT_EQ(folder.entries[0].object.mediaClass, kClassPlaylistContainer);
  EXPECT_EQ(folder.entries[0].object.childCount, 2);
  FseAnswer page = Ask(kFseBrowseDirectChildren, "7001", 1, 1);
  EXPECT_EQ(page.totalMatches, 2u);
  ASSERT_EQ(page.entries.size(), 1u);
  EXPECT_EQ(page.entries[0].object.id + " " + page.entries[0].object.refID, "7001_5 " + a1);
  for (const char* id : {"7001_2", "7001_3"})
    EXPECT_EQ(Ask(kFseBrowseMetadata, id).error, kCdsErrorNoSuchObject) << id;
  EXPECT_EQ(Ask(kFseBrowseDirectChildren, "7001_1").error, kCdsErrorNoSuchContainer);
  db_execute(sql::DeleteByIndex(7001));
  db_execute(sql::DeleteByIndex(7000));
}

TEST_F(EnumeratorTest, SearchCoversTheSubtreeOnly) {
  EXPECT_EQ(Titles(Search("*", std::to_string(kContainerAudio))), "Tom & Jerry,a1,a2,b1");
  // Below a folder container the files are found under that folder.
  int32_t shared = ChildNamed(kContainerAudioFolders, lib_->media()).MyIndex;
  int32_t rock = Index(shared, "Rock");
  ASSERT_GE(rock, 0);
  FseAnswer rockAnswer = Search("*", std::to_string(rock));
  EXPECT_EQ(Titles(rockAnswer), "a1,a2");
  for (const FseEntry& e : rockAnswer.entries) EXPECT_EQ(e.object.parentID, std::to_string(rock));
  EXPECT_EQ(Search("*", std::to_string(kContainerImage)).totalMatches, 2u);
  // The share of the library decides how a Search reads it; the answer must not change.
  for (int32_t container : {0, kContainerAudio, rock, kContainerImage}) {
    std::vector<int32_t> found[2];
    for (bool wholeTable : {false, true}) {
      db_selectT(sql::SearchItems(container, {"1", {}}, wholeTable));
      for (const MediaRecord& row : db_selectResults()) found[wholeTable].push_back(row.MyIndex);
    }
    EXPECT_FALSE(found[0].empty());
    EXPECT_EQ(found[0], found[1]) << container;
  }
}

// Each criterion with the titles it finds, or "n=<count>" where the titles are many. That
// values are bound, never formatted, and which criteria are refused are the criteria
// compiler's cases; a refusal's fault reaches the namespace test's control point.
TEST_F(EnumeratorTest, SearchOperatorsClassesProtocolInfoAndPrecedence) {
  const std::pair<const char*, const char*> cases[] = {
      {"dc:title = \"A1\"", "a1"},
      {"dc:title != \"a1\"", "n=7"},
      {"dc:title < \"b\"", "a1,a2"},
      {"dc:title <= \"a2\"", "a1,a2"},
      {"dc:title > \"s\"", "Tom & Jerry,stream"},
      {"dc:title >= \"p2\"", "Tom & Jerry,p2,stream"},
      {"dc:title contains \" & \"", "Tom & Jerry"},
      {"dc:title contains \"%\"", ""},
      // The title has no extension, and a file name holding the text is not enough.
      {"dc:title contains \"mp3\"", ""},
      {"dc:title contains \"y.mp\"", ""},
      {"dc:title contains \"JERRY\"", "Tom & Jerry"},
      {"dc:title derivedfrom \"tom &\"", "Tom & Jerry"},
      {"dc:title derivedfrom \"Jerry\"", ""},
      {"upnp:artist = \"the band\"", "a1,a2"},
      {"dc:creator contains \"\\\"Quoted\\\"\"", "b1"},
      {"upnp:artist doesNotContain \"band\"", "b1"},
      {"upnp:album derivedfrom \"second\"", "b1"},
      {"upnp:genre exists true", "a1,a2,b1"},
      {"upnp:genre exists false", "n=5"},
      {"upnp:class derivedfrom \"object.item.audioItem\"", "Tom & Jerry,a1,a2,b1"},
      {"upnp:class derivedfrom \"object.item\"", "n=8"},
      {"upnp:class derivedfrom \"object.item.audio\"", ""},
      {"upnp:class = \"object.item.imageItem\"", "p1,p2"},
      {"upnp:class = \"object.item.videoItem\"", "clip"},
      {"upnp:class = \"object.item\"", "stream"},
      // Songs with tags are music tracks, in a search as in a listing.
      {"upnp:class = \"object.item.audioItem.musicTrack\"", "a1,a2,b1"},
      {"upnp:class != \"object.item.audioItem\"", "n=7"},
      {"upnp:class <= \"object.item\"", "stream"},
      {"upnp:class > \"object.item.j\"", "clip"},
      {"upnp:class >= \"object.item.v\"", "clip"},
      {"upnp:class < \"object.item.a\"", "stream"},
      {"upnp:class doesNotContain \"audio\"", "n=4"},
      {"upnp:class = \"object.nothing\"", ""},
      {"upnp:class exists false", ""},
      {"res@protocolInfo != \"x\"", "n=8"},
      {"res@protocolInfo contains \"audio/mpeg\"", "Tom & Jerry,a1,a2,b1"},
      {"res@protocolInfo contains \"image/png\"", "p2"},
      {"res@protocolInfo contains \"JPEG_\"", "p1"},
      {"res@protocolInfo contains \"video/x-ms-avi\"", "stream"},
      {"res@protocolInfo derivedfrom \"http-get:*:video/x-matroska:\"", "clip"},
      {"res@protocolInfo exists true", "n=8"},
      {"(upnp:class derivedfrom \"object.item.audioItem\" and upnp:genre = \"rock\") or "
       "dc:title = \"p1\"",
       "a1,a2,p1"},
      // "and" binds tighter than "or".
      {"dc:title = \"p1\" or dc:title = \"a1\" and upnp:genre = \"jazz\"", "p1"},
      {"(dc:title = \"p1\" or dc:title = \"b1\") and upnp:genre = \"jazz\"", "b1"},
  };
  for (const auto& [criteria, want] : cases) {
    FseAnswer answer = Search(criteria);
    std::string got = std::string(want).starts_with("n=")
                          ? "n=" + std::to_string(answer.totalMatches)
                          : Titles(answer);
    EXPECT_EQ(got, want) << criteria;
  }
}

}  // namespace
