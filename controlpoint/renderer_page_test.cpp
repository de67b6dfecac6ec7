#include "controlpoint/renderer_page.h"

#include <gtest/gtest.h>

#include <string>

#include "controlpoint/testing/fake_renderer_source.h"

namespace controlpoint {
namespace {

using std::chrono::seconds;

constexpr auto kOpen = std::chrono::system_clock::time_point(seconds(1700000000));
constexpr int64_t kOpenSeconds = 1700000000;

// The page against real renderers is proven in the network namespace, its lines, folders
// and the ageing of a long-silent renderer by the window's test; these are the decisions at
// the edges of the clock the test moves.
TEST(RendererPageTest, TickShowsAChangedListAgesOutSilentRenderersAndSearchesAfterTenMinutes) {
  FakeRendererSource source;
  RendererPageModel page(&source);
  source.Add("Living Room", kOpenSeconds);
  source.Add("Kitchen", kOpenSeconds - 60);  // silent for exactly a minute
  source.Add("Gone", kOpenSeconds - 61);
  page.Open();
  EXPECT_TRUE(page.Tick(kOpen));
  EXPECT_EQ(page.Lines().size(), 2u);
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
}

}  // namespace
}  // namespace controlpoint
