#include "cds/file_system_enumerator.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <set>

#include "cds/cds_limits.h"
#include "cds/cds_to_didl.h"
#include "library/build/container_tree.h"
#include "library/build/scan_test_support.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "media/media_type.h"
#include "platform/file_info.h"

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
    ASSERT_TRUE(scan_test::WriteVideo(lib_->MediaPath("clip.mp4")));
    ASSERT_TRUE(scan_test::Run("mv " + scan_test::Quote(lib_->MediaPath("clip.mp4")) + " " +
                               scan_test::Quote(lib_->MediaPath("clip.mkv"))));
    ASSERT_EQ(Lib_AddSharedFolder(lib_->media()), 1);
    Scan_SharedFolder(lib_->media());
    // A tag with double quotes, which the shell of the media writer would not pass.
    ASSERT_TRUE(db_execute(sql::UpdateTags(lib_->MediaPath("Jazz/b1.mp3"), "Gamma",
                                           "Other \"Quoted\" Artist", "Second Album", "Jazz")));
    // An internet video item under "Internet Videos".
    ObjectRow row;
    row.MyIndex = 5000;
    row.pIndex = kContainerInternetVideos;
    row.ObjectType = kObjectItem;
    row.ProcessObjectType = kObjectItem;
    row.FilePath = "http://example.net/stream.mkv";
    row.FileName = "stream.mkv";
    row.FileType = "Video";
    row.InternetFlags = 1;
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
  static std::set<std::string> Titles(const FseAnswer& answer) {
    std::set<std::string> titles;
    for (const FseEntry& e : answer.entries) titles.insert(e.object.title);
    return titles;
  }
  static int32_t Index(int32_t parent, const std::string& name) {
    return ChildNamed(parent, name).MyIndex;
  }

  static std::unique_ptr<scan_test::ScanLibrary> lib_;
  std::unique_ptr<FileSystemEnumerator> fse_;
};

std::unique_ptr<scan_test::ScanLibrary> EnumeratorTest::lib_;

TEST_F(EnumeratorTest, LocateAnswersTheFaultCodes) {
  int32_t item = Index(kContainerAllMusic, "a1.mp3");
  ASSERT_GE(item, kFirstFreeObjectNumber);
  EXPECT_EQ(Ask(kFseBrowseDirectChildren, std::to_string(item)).error, kCdsErrorNoSuchContainer);
  EXPECT_EQ(Search("*", std::to_string(item)).error, kCdsErrorNoSuchContainer);
  EXPECT_EQ(Ask(kFseBrowseMetadata, std::to_string(item)).error, kCdsErrorNone);
  EXPECT_EQ(Ask(kFseBrowseMetadata, "abc").error, kCdsErrorNoSuchObject);
  EXPECT_EQ(Ask(kFseBrowseMetadata, "").error, kCdsErrorNoSuchObject);
  EXPECT_EQ(Ask(kFseBrowseMetadata, "99999999999999").error, kCdsErrorNoSuchObject);
  EXPECT_EQ(Ask(kFseBrowseDirectChildren, "4 or 1=1").error, kCdsErrorNoSuchObject);
  EXPECT_EQ(FSE_ObjectNumber(" 12abc"), 12);
  EXPECT_EQ(FSE_ObjectNumber("abc"), 0);
  EXPECT_EQ(FSE_ObjectNumber("-99999999999999999999"), INT32_MIN);
  FseAnswer root = Ask(kFseBrowseMetadata, "0");
  ASSERT_EQ(root.entries.size(), 1u);
  EXPECT_EQ(root.entries[0].object.parentID, "-1");
}

TEST_F(EnumeratorTest, ChildrenComeInLibraryOrderWithPaging) {
  std::string root = std::to_string(kContainerAudio);
  int total = db_selectT(sql::Children(kContainerAudio));
  ASSERT_GE(total, 5);
  std::vector<MediaRecord> order = db_selectResults();
  FseAnswer all = Ask(kFseBrowseDirectChildren, root);
  EXPECT_EQ(all.totalMatches, static_cast<uint32_t>(total));
  ASSERT_EQ(all.entries.size(), static_cast<size_t>(total));
  FseAnswer window = Ask(kFseBrowseDirectChildren, root, 2, 3);
  EXPECT_EQ(window.totalMatches, static_cast<uint32_t>(total));
  ASSERT_EQ(window.entries.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(window.entries[i].object.id, std::to_string(order[i + 2].MyIndex));
    EXPECT_EQ(window.entries[i].object.parentID, root);
  }
  // RequestedCount 0 gives everything from StartingIndex on; a count above the total
  // gives what there is; a StartingIndex past the end gives nothing.
  EXPECT_EQ(Ask(kFseBrowseDirectChildren, root, 1, 0).entries.size(),
            static_cast<size_t>(total - 1));
  EXPECT_EQ(Ask(kFseBrowseDirectChildren, root, 0, 1000).entries.size(),
            static_cast<size_t>(total));
  FseAnswer past = Ask(kFseBrowseDirectChildren, root, static_cast<uint32_t>(total), 5);
  EXPECT_TRUE(past.entries.empty());
  EXPECT_EQ(past.totalMatches, static_cast<uint32_t>(total));
  EXPECT_TRUE(Ask(kFseBrowseDirectChildren, root, 4000000000u, 0).entries.empty());
}

// The playlist is stored outside the tree, so that the other answers stay as they are.
TEST_F(EnumeratorTest, APlaylistListsTheEntriesOfItsListInOrderAndCountsThem) {
  const std::string a1 = std::to_string(Index(kContainerAllMusic, "a1.mp3"));
  const std::string a2 = std::to_string(Index(kContainerAllMusic, "a2.mp3"));
  MakeDirs(lib_->Path("cache"));
  const std::string list = lib_->Path("cache/7001.lst");
  // Lines that name no item (gone, a container, no number) are left out.
  scan_test::WriteText(
      list, a2 + "/a2.mp3\r\n999999/gone.mp3\r\n4/Music\r\n0/x\r\n" + a1 + "/a1.mp3\r\n");
  auto insert = [](int32_t index, int32_t parent, int32_t flags, int32_t type,
                   const std::string& path, const std::string& name) {
    ObjectRow row;
    row.MyIndex = index;
    row.pIndex = parent;
    row.Flags = flags;
    row.ObjectType = row.ProcessObjectType = type;
    row.FilePath = path;
    row.FileName = name;
    row.FileType = type == kObjectItem ? "Audio" : "";
    ASSERT_TRUE(db_execute(sql::InsertObject(row)));
  };
  insert(7000, 999999, 0, kObjectContainer, lib_->MediaPath("Mixes"), "Mixes");
  insert(7001, 7000, kFlagPlaylist, kObjectItem, list, "mix.m3u");

  FseAnswer folder = Ask(kFseBrowseDirectChildren, "7000");
  ASSERT_EQ(folder.entries.size(), 1u);
  EXPECT_EQ(folder.entries[0].object.mediaClass, kClassPlaylistContainer);
  EXPECT_EQ(folder.entries[0].object.childCount, 2);
  FseAnswer page = Ask(kFseBrowseDirectChildren, "7001", 1, 1);
  EXPECT_EQ(page.totalMatches, 2u);
  ASSERT_EQ(page.entries.size(), 1u);
  const CdsMediaObject& entry = page.entries[0].object;
  EXPECT_EQ(entry.id, "7001_5");
  EXPECT_EQ(entry.parentID, "7001");
  EXPECT_EQ(entry.refID, a1);
  EXPECT_EQ(entry.title, "a1");
  EXPECT_EQ(page.entries[0].record.MyIndex, std::stoi(a1));
  FseAnswer first = Ask(kFseBrowseMetadata, "7001_1");
  ASSERT_EQ(first.entries.size(), 1u);
  EXPECT_EQ(first.entries[0].object.refID, a2);
  EXPECT_EQ(Ask(kFseBrowseMetadata, "7001_2").error, kCdsErrorNoSuchObject);
  EXPECT_EQ(Ask(kFseBrowseMetadata, "7001_3").error, kCdsErrorNoSuchObject);
  EXPECT_EQ(Ask(kFseBrowseDirectChildren, "7001_1").error, kCdsErrorNoSuchContainer);
  // A folder counts its rows.
  FseAnswer root = Ask(kFseBrowseMetadata, std::to_string(kContainerAudio));
  EXPECT_EQ(root.entries.at(0).object.childCount, db_getCount(sql::Children(kContainerAudio)));

  db_execute(sql::DeleteByIndex(7001));
  db_execute(sql::DeleteByIndex(7000));
}

TEST_F(EnumeratorTest, ItemsCarryTitleClassAndCreationDate) {
  FseAnswer music = Ask(kFseBrowseDirectChildren, std::to_string(kContainerAllMusic));
  ASSERT_EQ(music.entries.size(), 4u);
  EXPECT_EQ(Titles(music), (std::set<std::string>{"a1", "a2", "b1", "Tom & Jerry"}));
  const FseEntry& first = music.entries[0];
  EXPECT_EQ(first.object.mediaClass, kClassAudioItem);
  EXPECT_EQ(first.object.flags, kCdsObjectRestricted);
  std::optional<int64_t> birth = platform::FileBirthTime(first.record.FilePath);
  ASSERT_TRUE(birth);
  time_t t = static_cast<time_t>(*birth);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char date[64];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  EXPECT_EQ(first.object.date, date);
  for (const FseEntry& e : music.entries) {
    if (e.object.title == "a1") {
      EXPECT_EQ(e.object.creator.value_or(""), "The Band");
      EXPECT_EQ(e.object.album.value_or(""), "First Album");
      EXPECT_EQ(e.object.genre.value_or(""), "Rock");
    }
    if (e.object.title == "Tom & Jerry") {
      EXPECT_FALSE(e.object.creator.has_value());
      std::string didl;
      ASSERT_GT(CdsToDidl_GetmediaObjectDidlEscaped(e.object, false, kFilterAll, false, &didl), 0);
      EXPECT_NE(didl.find("&lt;dc:title&gt;Tom &amp;amp; Jerry&lt;/dc:title&gt;"),
                std::string::npos);
    }
  }
}

TEST_F(EnumeratorTest, InternetContainerListsPlainItems) {
  FseAnswer internet = Ask(kFseBrowseDirectChildren, std::to_string(kContainerInternetVideos));
  const FseEntry* stream = nullptr;
  for (const FseEntry& e : internet.entries) {
    if (e.object.id == "5000") stream = &e;
  }
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->object.mediaClass, kClassItem);
  EXPECT_EQ(stream->object.title, "stream");
  EXPECT_EQ(stream->object.parentID, std::to_string(kContainerInternetVideos));
  // Its own metadata and a local .mkv are video items.
  EXPECT_EQ(Ask(kFseBrowseMetadata, "5000").entries.at(0).object.mediaClass, kClassVideoItem);
  FseAnswer videos = Ask(kFseBrowseDirectChildren, std::to_string(kContainerAllVideos));
  ASSERT_EQ(videos.entries.size(), 1u);
  EXPECT_EQ(videos.entries[0].object.title, "clip");
  EXPECT_EQ(videos.entries[0].object.mediaClass, kClassVideoItem);
}

TEST_F(EnumeratorTest, SearchAllReturnsEachFileOnceAndPages) {
  FseAnswer all = Search("*");
  ASSERT_EQ(all.error, 0);
  EXPECT_EQ(all.totalMatches, 8u);
  ASSERT_EQ(all.entries.size(), 8u);
  std::set<std::string> ids;
  std::set<std::string> paths;
  for (const FseEntry& e : all.entries) {
    ids.insert(e.object.id);
    paths.insert(e.record.FilePath);
    if (e.object.mediaClass == kClassAudioItem) {
      EXPECT_EQ(e.object.parentID, "7") << e.object.title;
    }
    if (e.object.mediaClass == kClassImageItem) {
      EXPECT_EQ(e.object.parentID, "13") << e.object.title;
    }
  }
  EXPECT_EQ(ids.size(), 8u);
  EXPECT_EQ(paths.size(), 8u);
  EXPECT_EQ(Search("").totalMatches, 8u);
  FseAnswer page = Search("*", "0", 2, 3);
  EXPECT_EQ(page.totalMatches, 8u);
  ASSERT_EQ(page.entries.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(page.entries[i].object.id, all.entries[i + 2].object.id);
  EXPECT_EQ(Search("*", "0", 6, 0).entries.size(), 2u);
  EXPECT_TRUE(Search("*", "0", 8, 5).entries.empty());
}

TEST_F(EnumeratorTest, SearchCoversTheSubtreeOnly) {
  EXPECT_EQ(Titles(Search("*", std::to_string(kContainerAudio))),
            (std::set<std::string>{"a1", "a2", "b1", "Tom & Jerry"}));
  // Below a folder container the files are found under that folder.
  int32_t shared = ChildNamed(kContainerAudioFolders, lib_->media()).MyIndex;
  ASSERT_GE(shared, 0);
  int32_t rock = Index(shared, "Rock");
  ASSERT_GE(rock, 0);
  FseAnswer rockAnswer = Search("*", std::to_string(rock));
  EXPECT_EQ(Titles(rockAnswer), (std::set<std::string>{"a1", "a2"}));
  for (const FseEntry& e : rockAnswer.entries) EXPECT_EQ(e.object.parentID, std::to_string(rock));
  EXPECT_EQ(Search("*", std::to_string(kContainerImage)).totalMatches, 2u);
  EXPECT_EQ(Search("*", "abc").error, kCdsErrorNoSuchObject);
}

TEST_F(EnumeratorTest, SearchOperatorsOnTextProperties) {
  EXPECT_EQ(Titles(Search("dc:title = \"A1\"")), (std::set<std::string>{"a1"}));
  EXPECT_EQ(Search("dc:title != \"a1\"").totalMatches, 7u);
  EXPECT_EQ(Titles(Search("dc:title < \"b\"")), (std::set<std::string>{"a1", "a2"}));
  EXPECT_EQ(Titles(Search("dc:title <= \"a2\"")), (std::set<std::string>{"a1", "a2"}));
  EXPECT_EQ(Titles(Search("dc:title > \"s\"")), (std::set<std::string>{"stream", "Tom & Jerry"}));
  EXPECT_EQ(Titles(Search("dc:title >= \"p2\"")),
            (std::set<std::string>{"p2", "stream", "Tom & Jerry"}));
  EXPECT_EQ(Titles(Search("dc:title contains \" & \"")), (std::set<std::string>{"Tom & Jerry"}));
  EXPECT_EQ(Search("dc:title contains \"%\"").totalMatches, 0u);
  EXPECT_EQ(Search("dc:title contains \"mp3\"").totalMatches, 0u);  // the title has no extension
  // A file name that holds the text is not enough: the title must hold it too.
  EXPECT_EQ(Search("dc:title contains \"y.mp\"").totalMatches, 0u);
  EXPECT_EQ(Titles(Search("dc:title contains \"JERRY\"")), (std::set<std::string>{"Tom & Jerry"}));
  EXPECT_EQ(Titles(Search("dc:title derivedfrom \"tom &\"")),
            (std::set<std::string>{"Tom & Jerry"}));
  EXPECT_EQ(Search("dc:title derivedfrom \"Jerry\"").totalMatches, 0u);  // not at the start
  EXPECT_EQ(Titles(Search("upnp:artist = \"the band\"")), (std::set<std::string>{"a1", "a2"}));
  EXPECT_EQ(Titles(Search("dc:creator contains \"\\\"Quoted\\\"\"")),
            (std::set<std::string>{"b1"}));
  EXPECT_EQ(Titles(Search("upnp:artist doesNotContain \"band\"")), (std::set<std::string>{"b1"}));
  EXPECT_EQ(Titles(Search("upnp:album derivedfrom \"second\"")), (std::set<std::string>{"b1"}));
  EXPECT_EQ(Titles(Search("upnp:genre exists true")), (std::set<std::string>{"a1", "a2", "b1"}));
  EXPECT_EQ(Search("upnp:genre exists false").totalMatches, 5u);
  EXPECT_EQ(Search("dc:title = \"x\\\") or 1=1 --\"").totalMatches, 0u);
}

TEST_F(EnumeratorTest, SearchOnDerivedClassAndProtocolInfo) {
  EXPECT_EQ(Search("upnp:class derivedfrom \"object.item.audioItem\"").totalMatches, 4u);
  EXPECT_EQ(Search("upnp:class derivedfrom \"object.item\"").totalMatches, 8u);
  EXPECT_EQ(Search("upnp:class derivedfrom \"object.item.audio\"").totalMatches, 0u);
  EXPECT_EQ(Titles(Search("upnp:class = \"object.item.imageItem\"")),
            (std::set<std::string>{"p1", "p2"}));
  EXPECT_EQ(Titles(Search("upnp:class = \"object.item.videoItem\"")),
            (std::set<std::string>{"clip"}));
  EXPECT_EQ(Titles(Search("upnp:class = \"object.item\"")), (std::set<std::string>{"stream"}));
  EXPECT_EQ(Search("upnp:class != \"object.item.audioItem\"").totalMatches, 4u);
  EXPECT_EQ(Search("res@protocolInfo contains \"audio/mpeg\"").totalMatches, 4u);
  EXPECT_EQ(Titles(Search("res@protocolInfo contains \"image/png\"")),
            (std::set<std::string>{"p2"}));
  EXPECT_EQ(Titles(Search("res@protocolInfo contains \"JPEG_\"")), (std::set<std::string>{"p1"}));
  EXPECT_EQ(Titles(Search("res@protocolInfo contains \"video/x-ms-avi\"")),
            (std::set<std::string>{"stream"}));
  EXPECT_EQ(Titles(Search("res@protocolInfo derivedfrom \"http-get:*:video/x-matroska:\"")),
            (std::set<std::string>{"clip"}));
  EXPECT_EQ(Search("res@protocolInfo exists true").totalMatches, 8u);
}

TEST_F(EnumeratorTest, SearchNestingAndPrecedence) {
  EXPECT_EQ(
      Titles(Search("(upnp:class derivedfrom \"object.item.audioItem\" and upnp:genre = \"rock\") "
                    "or dc:title = \"p1\"")),
      (std::set<std::string>{"a1", "a2", "p1"}));
  // "and" binds tighter than "or".
  EXPECT_EQ(Titles(Search("dc:title = \"p1\" or dc:title = \"a1\" and upnp:genre = \"jazz\"")),
            (std::set<std::string>{"p1"}));
  EXPECT_EQ(Titles(Search("(dc:title = \"p1\" or dc:title = \"b1\") and upnp:genre = \"jazz\"")),
            (std::set<std::string>{"b1"}));
}

TEST_F(EnumeratorTest, MalformedCriteriaAnswer708) {
  for (const char* criteria : {"dc:title", "dc:title = \"a", "(dc:title = \"a\"",
                               "upnp:rating = \"1\"", "dc:title = \"a\" and"}) {
    FseAnswer answer = Search(criteria);
    EXPECT_EQ(answer.error, kCdsErrorBadSearchCriteria) << criteria;
    EXPECT_TRUE(answer.entries.empty());
  }
}

}  // namespace
