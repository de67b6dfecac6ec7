#include "library/build/dir_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>

#include "platform/testing/test_support.h"

namespace {

using platform::testing::LogCapture;
using platform::testing::TempDir;
using platform::testing::WaitUntil;
using platform::testing::WriteFile;

// Records every report as one line.
class RecordingHandler : public CDirectoryChangeHandler {
 public:
  void On_Added(const std::string& p) override { Add("added " + p); }
  void On_Removed(const std::string& p) override { Add("removed " + p); }
  void On_Modified(const std::string& p) override { Add("modified " + p); }
  void On_Renamed(const std::string& a, const std::string& b) override {
    Add("renamed " + a + " -> " + b);
  }
  void On_ReadError(int, const std::string& f) override { Add("read error " + f); }
  void On_ChangesLost(const std::string& f) override { Add("lost " + f); }

  bool Saw(const std::string& line) {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }

 private:
  void Add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class DirWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    root_ = dir_.Join("tree");
    std::filesystem::create_directories(root_ + "/a/b");
  }
  void Watch() {
    ASSERT_EQ(watcher_.WatchDirectory(root_, kSharedFolderChangeFilter, handler_, true), 0);
  }
  bool WaitSaw(const std::string& line) {
    return WaitUntil([&] { return handler_->Saw(line); }, 5000);
  }

  LogCapture log_;
  TempDir dir_;
  std::string root_;
  std::shared_ptr<RecordingHandler> handler_ = std::make_shared<RecordingHandler>();
  CDirectoryChangeWatcher watcher_;
};

// A folder copied in quickly: its files can be written and closed before the new folder
// is watched, so no close is ever reported for them. They arrive once they stop changing.
TEST_F(DirWatcherTest, FilesClosedBeforeANewFolderIsWatchedStillArrive) {
  const std::string folder = root_ + "/copied";
  watcher_.SetAddWatchHookForTest([folder](const std::string& path) {
    if (path == folder) WriteFile(folder + "/song.mp3", "whole");
    return 0;
  });
  Watch();
  std::filesystem::create_directories(folder);
  ASSERT_TRUE(WaitSaw("added " + folder));
  EXPECT_TRUE(WaitSaw("added " + folder + "/song.mp3"));
}

// The log's wording of each step is its own text; the steps are what is checked here.
TEST_F(DirWatcherTest, StartStopRefusalsAndARemovedRootEndItsWatch) {
  EXPECT_EQ(watcher_.WatchDirectory(root_, kSharedFolderChangeFilter, nullptr, true), EINVAL);
  WriteFile(root_ + "/file", "");
  EXPECT_EQ(watcher_.WatchDirectory(root_ + "/file", kSharedFolderChangeFilter, handler_, true),
            ENOTDIR);
  Watch();
  EXPECT_TRUE(watcher_.IsWatchingDirectory(root_ + "/"));
  Watch();  // a second watch of the same folder replaces the first
  EXPECT_EQ(watcher_.NumWatchedDirectories(), 1);
  EXPECT_TRUE(watcher_.UnwatchDirectory(root_));
  EXPECT_FALSE(watcher_.UnwatchDirectory(root_));
  EXPECT_EQ(watcher_.WatchedDirectoryCountForTest(), 0u);
  watcher_.DrainNotificationsForTest();

  // A removed root ends its watch with a read error.
  Watch();
  std::filesystem::remove_all(root_);
  ASSERT_TRUE(WaitSaw("read error " + root_));
  EXPECT_EQ(watcher_.WatchedDirectoryCountForTest(), 0u);
}

TEST_F(DirWatcherTest, WatchLimitIsReportedOnceAndTheFolderMarkedForARefresh) {
  watcher_.SetAddWatchHookForTest([](const std::string& path) {
    return path.find("/limited") != std::string::npos ? ENOSPC : 0;
  });
  Watch();
  std::filesystem::create_directories(root_ + "/limited1");
  ASSERT_TRUE(WaitSaw("lost " + root_));
  std::filesystem::create_directories(root_ + "/limited2");
  ASSERT_TRUE(WaitSaw("added " + root_ + "/limited2"));
  std::string log = log_.Text();
  size_t first = log.find("fs.inotify.max_user_watches");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("fs.inotify.max_user_watches", first + 1), std::string::npos);
}

// Only the names the filters let through are reported; links arrive at once, as nothing
// writes through them; a file moved while written, alone and with its folder, arrives
// under its last name once closed.
TEST_F(DirWatcherTest, FiltersLinksAndFilesMovedWhileWritten) {
  ASSERT_EQ(watcher_.WatchDirectory(root_, kSharedFolderChangeFilter, handler_, true,
                                    "*.mp3;;*.ogg", "skip*"),
            0);
  WriteFile(root_ + "/notes.txt", "x");
  WriteFile(root_ + "/skip.mp3", "x");
  WriteFile(dir_.Join("outside.mp3"), "x");
  ASSERT_EQ(::link(dir_.Join("outside.mp3").c_str(), (root_ + "/hard.mp3").c_str()), 0);
  ASSERT_TRUE(WaitSaw("added " + root_ + "/hard.mp3"));
  ASSERT_EQ(::chmod((root_ + "/hard.mp3").c_str(), 0600), 0);
  EXPECT_TRUE(WaitSaw("modified " + root_ + "/hard.mp3"));
  EXPECT_FALSE(handler_->Saw("added " + root_ + "/notes.txt"));
  EXPECT_FALSE(handler_->Saw("added " + root_ + "/skip.mp3"));

  int fd = ::open((root_ + "/a/part.mp3").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "data", 4), 4);
  ASSERT_EQ(::rename((root_ + "/a/part.mp3").c_str(), (root_ + "/a/b/song.mp3").c_str()), 0);
  ASSERT_EQ(::rename((root_ + "/a/b").c_str(), (root_ + "/c").c_str()), 0);
  ::close(fd);
  EXPECT_TRUE(WaitSaw("added " + root_ + "/c/song.mp3"));
}

}  // namespace
