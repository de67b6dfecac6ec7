#include "platform/inotify.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/testing/test_support.h"

namespace {

// Events, renames and overflows are proven through the directory watcher's tests; what
// they cannot reach is how a refused watch is reported.
TEST(InotifyTest, WatchErrorsComeBackAsNegativeErrnoValues) {
  platform::testing::TempDir dir;
  platform::Inotify in;
  ASSERT_TRUE(in.Valid());
  platform::testing::WriteFile(dir.Join("file"), "x");
  EXPECT_EQ(in.AddWatch(dir.Join("file"), platform::kInCreate | platform::kInOnlyDir), -ENOTDIR);
  EXPECT_EQ(in.AddWatch(dir.Join("missing"), platform::kInCreate), -ENOENT);
  int wd = in.AddWatch(dir.path(), platform::kInCreate);
  EXPECT_GE(wd, 0);
  EXPECT_EQ(in.AddWatch(dir.path(), platform::kInCreate), wd);  // one watch per directory

  in.SetAddWatchHookForTest(
      [](const std::string& path) { return path.find("full") != std::string::npos ? ENOSPC : 0; });
  EXPECT_EQ(in.AddWatch(dir.path() + "/full", platform::kInCreate), -ENOSPC);
  EXPECT_GT(platform::InotifyMaxUserWatches(), 0);
}

}  // namespace
