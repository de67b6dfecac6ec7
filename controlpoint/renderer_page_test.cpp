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
    calls += "start:" + std::string(hostAddress) + "/" + std::string(mask);
    return 0;
  }
  void Stop() override {
    calls += "stop;";
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
    table.push_back({});
    table.back().location = "http://" + host + ":49494/description.xml";
    table.back().friendlyName = name;
    table.back().lastSeen = lastSeen;
  }

  std::vector<RendererEntry> table;
  std::string calls;
  int searches = 0;
};

class RendererPageTest : public ::testing::Test {
 protected:
  FakeSource source_;
  RendererPageModel page_{&source_};
};

TEST_F(RendererPageTest, OpeningSearchesAndTickShowsTheListWhenItChanged) {
  source_.Add("Living Room", kOpenSeconds);
  source_.Add("Kitchen", kOpenSeconds, "10.0.0.6");
  page_.Open();
  EXPECT_EQ(source_.searches, 1);
  EXPECT_EQ(page_.Lines(),
            (std::vector<std::string>{"http://10.0.0.5:49494/web/IMedia      Living Room",
                                      "http://10.0.0.6:49494/web/IMedia      Kitchen"}));
  EXPECT_EQ(page_.NetworkFolderUrl(2), "");
  EXPECT_FALSE(page_.Tick(kOpen + seconds(1)));
  // Same number of renderers, but one took another's place: the list is shown again.
  source_.table[0].friendlyName = "a2";
  EXPECT_TRUE(page_.Tick(kOpen + seconds(2)));
  EXPECT_EQ(page_.Lines()[0], "http://10.0.0.5:49494/web/IMedia      a2");
}

TEST_F(RendererPageTest, TickAgesOutSilentRenderersAndRefreshRestartsUnfiltered) {
  for (int64_t age : {61, 60, 61}) source_.Add(std::to_string(age), kOpenSeconds - age);
  page_.Open();
  EXPECT_TRUE(page_.Tick(kOpen));
  ASSERT_EQ(source_.table.size(), 1u);
  EXPECT_EQ(page_.Renderers()[0].friendlyName, "60");
  // Refresh restarts the source without a filter.
  EXPECT_EQ(page_.Refresh(), 0);
  EXPECT_EQ(source_.calls, "stop;start:/");
  EXPECT_TRUE(page_.Tick(kOpen));
  EXPECT_TRUE(page_.Lines().empty());
}

TEST_F(RendererPageTest, SearchesOnEveryTickOnceOpenForTenMinutes) {
  page_.Open();
  int afterOpen = source_.searches;
  page_.Tick(kOpen);
  page_.Tick(kOpen + seconds(600));
  EXPECT_EQ(source_.searches, afterOpen);
  page_.Tick(kOpen + seconds(601));
  EXPECT_EQ(source_.searches, afterOpen + 1);
  // Opening the page again starts the count anew.
  page_.Open();
  afterOpen = source_.searches;
  page_.Tick(kOpen + seconds(700));
  EXPECT_EQ(source_.searches, afterOpen);
}

}  // namespace
}  // namespace controlpoint
