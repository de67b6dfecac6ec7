#include "controlpoint/renderer_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace controlpoint {
namespace {

using std::chrono::seconds;

constexpr auto kOpen = std::chrono::system_clock::time_point(seconds(1700000000));
constexpr int64_t kOpenSeconds = 1700000000;

// A source whose table the test sets, recording what the page asks of it.
class FakeSource : public RendererSource {
 public:
  int Start(std::string_view hostAddress, std::string_view mask) override {
    calls.push_back("start:" + std::string(hostAddress) + "/" + std::string(mask));
    return 0;
  }
  void Stop() override {
    calls.push_back("stop");
    table.clear();
  }
  void Search() override { ++searches; }
  size_t CopyRenderers(std::vector<RendererEntry>* destination) const override {
    *destination = table;
    return table.size();
  }
  bool RemoveRenderer(size_t index) override {
    if (index >= table.size()) return false;
    table.erase(table.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }

  void Add(const std::string& name, int64_t lastSeen, const std::string& host = "10.0.0.5") {
    RendererEntry entry;
    entry.location = "http://" + host + ":49494/description.xml";
    entry.deviceId = "uuid:" + name;
    entry.friendlyName = name;
    entry.lastSeen = lastSeen;
    table.push_back(entry);
  }

  std::vector<RendererEntry> table;
  std::vector<std::string> calls;
  int searches = 0;
};

class RendererPageTest : public ::testing::Test {
 protected:
  FakeSource source_;
  RendererPageModel page_{&source_};
};

TEST_F(RendererPageTest, OpeningSearchesAndListsTheRenderers) {
  source_.Add("Living Room", kOpenSeconds);
  source_.Add("Kitchen", kOpenSeconds, "10.0.0.6");
  page_.Open();
  EXPECT_EQ(source_.searches, 1);
  EXPECT_EQ(page_.Lines(),
            (std::vector<std::string>{"http://10.0.0.5:49494/web/IMedia      Living Room",
                                      "http://10.0.0.6:49494/web/IMedia      Kitchen"}));
  EXPECT_EQ(page_.NetworkFolderUrl(1), "smb://10.0.0.6/");
  EXPECT_EQ(page_.NetworkFolderUrl(2), "");
}

TEST_F(RendererPageTest, TickAgesOutRenderersSilentForMoreThanAMinute) {
  source_.Add("a", kOpenSeconds - 61);
  source_.Add("b", kOpenSeconds - 60);
  source_.Add("c", kOpenSeconds - 200);
  source_.Add("d", kOpenSeconds);
  source_.Add("e", kOpenSeconds - 61);
  page_.Open();
  EXPECT_TRUE(page_.Tick(kOpen));
  ASSERT_EQ(source_.table.size(), 2u);
  EXPECT_EQ(source_.table[0].friendlyName, "b");
  EXPECT_EQ(source_.table[1].friendlyName, "d");
  EXPECT_EQ(page_.Lines().size(), 2u);
  EXPECT_EQ(page_.Renderers()[1].friendlyName, "d");
}

TEST_F(RendererPageTest, TickReportsChangesOnlyWhenTheListChanged) {
  source_.Add("a", kOpenSeconds);
  page_.Open();
  EXPECT_FALSE(page_.Tick(kOpen + seconds(1)));
  source_.Add("b", kOpenSeconds + 1);
  EXPECT_TRUE(page_.Tick(kOpen + seconds(2)));
  // Same number of renderers, but one took another's place: the list is shown again.
  source_.table[0].friendlyName = "a2";
  EXPECT_TRUE(page_.Tick(kOpen + seconds(3)));
  EXPECT_EQ(page_.Lines()[0], "http://10.0.0.5:49494/web/IMedia      a2");
}

TEST_F(RendererPageTest, SearchesOnEveryTickOnceOpenForTenMinutes) {
  page_.Open();
  int afterOpen = source_.searches;
  page_.Tick(kOpen);
  page_.Tick(kOpen + seconds(300));
  page_.Tick(kOpen + seconds(600));
  EXPECT_EQ(source_.searches, afterOpen);
  page_.Tick(kOpen + seconds(601));
  page_.Tick(kOpen + seconds(602));
  EXPECT_EQ(source_.searches, afterOpen + 2);
  // Opening the page again starts the count anew.
  page_.Open();
  afterOpen = source_.searches;
  page_.Tick(kOpen + seconds(700));
  EXPECT_EQ(source_.searches, afterOpen);
}

TEST_F(RendererPageTest, RefreshRestartsWithoutAFilter) {
  source_.Add("a", kOpenSeconds);
  page_.Open();
  EXPECT_EQ(page_.Refresh(), 0);
  EXPECT_EQ(source_.calls, (std::vector<std::string>{"stop", "start:/"}));
  EXPECT_TRUE(page_.Tick(kOpen));
  EXPECT_TRUE(page_.Lines().empty());
}

}  // namespace
}  // namespace controlpoint
