#include "platform/inotify.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <cerrno>

#include "platform/test_support.h"
#include "platform/tick.h"

namespace {

using platform::Inotify;
using platform::InotifyEvent;

// Collects events until `want` holds or five seconds pass.
std::vector<InotifyEvent> WaitFor(
    Inotify& in, const std::function<bool(const std::vector<InotifyEvent>&)>& want) {
  std::vector<InotifyEvent> all;
  uint64_t deadline = platform::TickCountMs() + 5000;
  while (!want(all) && platform::TickCountMs() < deadline) {
    bool woken = false;
    in.Wait(50, &all, &woken);
  }
  return all;
}

bool Has(const std::vector<InotifyEvent>& events, uint32_t bit, const std::string& name) {
  for (const auto& e : events) {
    if ((e.mask & bit) && e.name == name) return true;
  }
  return false;
}

TEST(InotifyTest, ReportsCreationCloseAndBothHalvesOfARenameWithOneCookie) {
  platform::testing::TempDir dir;
  Inotify in;
  ASSERT_TRUE(in.Valid());
  const uint32_t mask =
      platform::kInCreate | platform::kInCloseWrite | platform::kInMovedFrom | platform::kInMovedTo;
  int wd = in.AddWatch(dir.path(), mask);
  ASSERT_GE(wd, 0);
  EXPECT_EQ(in.AddWatch(dir.path(), mask), wd);  // one watch per directory

  platform::testing::WriteFile(dir.Join("a.mp3"), "data");
  ASSERT_EQ(::rename(dir.Join("a.mp3").c_str(), dir.Join("b.mp3").c_str()), 0);
  auto events = WaitFor(in, [](const auto& e) { return Has(e, platform::kInMovedTo, "b.mp3"); });

  ASSERT_TRUE(Has(events, platform::kInCreate, "a.mp3"));
  ASSERT_TRUE(Has(events, platform::kInCloseWrite, "a.mp3"));
  uint32_t from = 0, to = 0;
  for (const auto& e : events) {
    EXPECT_EQ(e.wd, wd);
    if (e.mask & platform::kInMovedFrom) from = e.cookie;
    if (e.mask & platform::kInMovedTo) to = e.cookie;
  }
  EXPECT_NE(from, 0u);
  EXPECT_EQ(from, to);
}

TEST(InotifyTest, WatchErrorsComeBackAsNegativeErrnoValues) {
  platform::testing::TempDir dir;
  Inotify in;
  platform::testing::WriteFile(dir.Join("file"), "x");
  EXPECT_EQ(in.AddWatch(dir.Join("file"), platform::kInCreate | platform::kInOnlyDir), -ENOTDIR);
  EXPECT_EQ(in.AddWatch(dir.Join("missing"), platform::kInCreate), -ENOENT);

  in.SetAddWatchHookForTest(
      [](const std::string& path) { return path.find("full") != std::string::npos ? ENOSPC : 0; });
  EXPECT_EQ(in.AddWatch(dir.path() + "/full", platform::kInCreate), -ENOSPC);
  EXPECT_GE(in.AddWatch(dir.path(), platform::kInCreate), 0);
  EXPECT_GT(platform::InotifyMaxUserWatches(), 0);
}

TEST(InotifyTest, InjectedEventsAndWakeUpsEndAWaitWithoutATimeLimit) {
  Inotify in;
  InotifyEvent overflow;
  overflow.mask = platform::kInQueueOverflow;
  in.InjectForTest(overflow);
  std::vector<InotifyEvent> events;
  bool woken = false;
  ASSERT_EQ(in.Wait(-1, &events, &woken), 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].wd, -1);
  EXPECT_TRUE(events[0].mask & platform::kInQueueOverflow);

  events.clear();
  in.Wake();
  ASSERT_EQ(in.Wait(-1, &events, &woken), 0);
  EXPECT_TRUE(woken);
  EXPECT_TRUE(events.empty());
}

}  // namespace
