#include "internet/youtube_feeds.h"

#include <gtest/gtest.h>

#include "controlpoint/testing/http_fetch_test_server.h"
#include "internet/internet_limits.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/library_edit.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/testing/test_support.h"

namespace {

using Reply = HttpFetchTestServer::Reply;

constexpr const char* kSite = "http://videos.test";

std::string ReadFixture(const char* name) {
  return platform::testing::ReadFile(std::string(ORVEX_INTERNET_TESTDATA) + "/" + name);
}

// Settings rows are created with the library file; these are written here as a user
// would add them.
void PutSetting(const char* key, const std::string& value) {
  db_execute(Sql{"insert or replace into AVP (my_attribute, my_value) values (?, ?)",
                 {std::string(key), value}});
}

using platform::testing::WaitUntil;

class YouTubeFeedsTest : public ::testing::Test {
 protected:
  YouTubeFeedsTest() : server_([this](const std::string& target) { return Route(target); }) {}

  void SetUp() override {
    ASSERT_TRUE(library_.ok());
    ASSERT_TRUE(server_.ok());
    FST_BuildTree();
    PutSetting(kKeyYouTubeFeedEndpoint, server_.Url("/"));
    PutSetting(kKeyYouTubeSiteAddress, kSite);
    YouTubeRequestStop(0);
    YouTubeRequestRefresh(0);
  }

  void TearDown() override {
    YouTubeUpdaterJoin();
    YouTubeSetTickForTest(0);
    Scan_SetFeedRefresh(nullptr);
  }

  Reply Route(const std::string& target) {
    std::string feeds = "/feeds/api/standardfeeds/";
    if (target == feeds + "recently_featured?start-index=1") {
      return HttpFetchTestServer::Answer(200, ReadFixture("recently_featured_1.xml"));
    }
    if (target == feeds + "top_rated?time=today&start-index=1") {
      return HttpFetchTestServer::Answer(200, ReadFixture("top_rated_1.xml"));
    }
    if (target.rfind(feeds + "most_linked?", 0) == 0) {
      return HttpFetchTestServer::Answer(200, ReadFixture("empty.xml"));
    }
    // An error page that happens to look like a feed must not be stored.
    return HttpFetchTestServer::Answer(404, ReadFixture("top_rated_1.xml"));
  }

  static int ItemsUnder(int32_t container) { return db_getCount(sql::Children(container)); }

  TempLibrary library_;
  HttpFetchTestServer server_;
};

// A pass reads four pages of each category: two first pages and the four (empty) pages of
// most_linked answer, the rest are 404.
TEST_F(YouTubeFeedsTest, UpdaterPassesAtStartAgainOnRefreshAndStopsOnRequest) {
  YouTubeSetTickForTest(2);
  YouTubeUpdaterStart();
  EXPECT_EQ(YouTubeIsIdle(), 0);
  ASSERT_TRUE(WaitUntil([&] { return ItemsUnder(22) == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return server_.Targets().size() == 28; }));
  std::vector<std::string> targets = server_.Targets();
  EXPECT_EQ(targets[0], "/feeds/api/standardfeeds/recently_featured?start-index=1");
  EXPECT_EQ(targets[27], "/feeds/api/standardfeeds/most_responded?time=today&start-index=76");
  EXPECT_EQ(ItemsUnder(21), 2);
  for (int32_t container = 23; container <= kContainerYoutubeLast; ++container) {
    EXPECT_EQ(ItemsUnder(container), 0) << container;
  }
  MediaRecord record;
  ASSERT_EQ(db_getOneRecord(
                sql::ItemUnder(std::string(kSite) + "/watch?v=abc123", "Tom & Jerry \"Live\"", 21),
                &record),
            1);
  EXPECT_EQ(record.InternetFlags, 1);
  EXPECT_GE(record.MyIndex, kFirstFreeObjectNumber);
  // A second start while it runs starts nothing.
  YouTubeUpdaterStart();

  // Emptying the library asks for a new pass, which fills the categories again.
  Lib_Clear();
  ASSERT_TRUE(WaitUntil([&] { return server_.Targets().size() == 56 && ItemsUnder(21) == 2; }));

  YouTubeRequestStop(1);
  ASSERT_TRUE(WaitUntil([] { return YouTubeIsIdle() == 1; }));

  // A start after a stop runs again.
  YouTubeUpdaterStart();
  ASSERT_TRUE(WaitUntil([&] { return server_.Targets().size() == 84; }));
  YouTubeUpdaterJoin();
  EXPECT_EQ(YouTubeIsIdle(), 1);
  EXPECT_EQ(ItemsUnder(21), 2);  // that pass found every video stored already
}

}  // namespace
