#include "controlpoint/renderer_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controlpoint/testing/fake_renderer_source.h"

namespace controlpoint {
namespace {

using std::chrono::seconds;

constexpr auto kOpen = std::chrono::system_clock::time_point(seconds(1700000000));
constexpr int64_t kOpenSeconds = 1700000000;

// The page against real renderers is proven in the network namespace; these are the
// decisions that need a clock the test moves.
TEST(RendererPageTest, TickShowsAChangedListAgesOutSilentRenderersAndSearchesAfterTenMinutes) {
  FakeRendererSource source;
  RendererPageModel page(&source);
  source.Add("Living Room", kOpenSeconds);
  source.Add("Kitchen", kOpenSeconds - 60, "10.0.0.6");  // silent for exactly a minute
  source.Add("Gone", kOpenSeconds - 61);
  page.Open();
  EXPECT_EQ(source.searches, 1);
  EXPECT_TRUE(page.Tick(kOpen));
  EXPECT_EQ(page.Lines(),
            (std::vector<std::string>{"http://10.0.0.5:49494/web/IMedia      Living Room",
                                      "http://10.0.0.6:49494/web/IMedia      Kitchen"}));
  EXPECT_EQ(page.NetworkFolderUrl(1), "smb://10.0.0.6/");
  EXPECT_EQ(page.NetworkFolderUrl(2), "");
  EXPECT_FALSE(page.Tick(kOpen));
  // Same number of renderers, but one took another's place: the list is shown again.
  source.table[0].friendlyName = "a2";
  EXPECT_TRUE(page.Tick(kOpen));
  EXPECT_EQ(page.Lines()[0], "http://10.0.0.5:49494/web/IMedia      a2");
  // Searches go out on every tick once the page has been open for ten minutes; opening it
  // again starts the count anew.
  page.Tick(kOpen + seconds(600));
  EXPECT_EQ(source.searches, 1);
  page.Tick(kOpen + seconds(601));
  EXPECT_EQ(source.searches, 2);
  page.Open();
  page.Tick(kOpen + seconds(700));
  EXPECT_EQ(source.searches, 3);
  // Refresh restarts the source without a filter.
  EXPECT_EQ(page.Refresh(), 0);
  EXPECT_EQ(source.calls, "stop;start:/");
}

}  // namespace
}  // namespace controlpoint
