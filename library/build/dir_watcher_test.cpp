#include "library/build/dir_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "platform/log.h"
#include "platform/test_support.h"

namespace {

using platform::testing::TempDir;
using platform::testing::WaitUntil;
using platform::testing::WriteFile;

// Records every report as one line, in order, and which thread made it.
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

  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool Saw(const std::string& line) {
    for (const std::string& l : Lines()) {
      if (l == line) return true;
    }
    return false;
  }

 private:
  void Add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Captures the watcher's log lines.
class LogCapture {
 public:
  LogCapture() {
    platform::SetLogSink([this](std::string_view line) {
      std::lock_guard lock(mutex_);
      text_ += line;
    });
  }
  ~LogCapture() { platform::SetLogSink(nullptr); }
  std::string Text() {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

class DirWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    root_ = dir_.Join("tree");
    std::filesystem::create_directories(root_ + "/a/b");
  }
  void Watch(uint32_t filter = kSharedFolderChangeFilter, bool subtree = true,
             const std::string& exclude = std::string()) {
    ASSERT_EQ(watcher_.WatchDirectory(root_, filter, handler_, subtree, "", exclude), 0);
  }
  bool WaitSaw(const std::string& line) {
    return WaitUntil([&] { return handler_->Saw(line); }, 5000);
  }
  // Settles: every change made so far has been reported.
  void Settle() {
    // A marker file whose report follows every earlier one.
    std::string marker = root_ + "/marker" + std::to_string(markers_++);
    WriteFile(marker, "");
    ASSERT_TRUE(WaitSaw("added " + marker));
  }

  LogCapture log_;
  TempDir dir_;
  std::string root_;
  int markers_ = 0;
  std::shared_ptr<RecordingHandler> handler_ = std::make_shared<RecordingHandler>();
  CDirectoryChangeWatcher watcher_;
};

TEST_F(DirWatcherTest, FileIsReportedOnceItsWriterClosesIt) {
  Watch();
  std::string path = root_ + "/a/song.mp3";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "half", 4), 4);
  Settle();
  EXPECT_FALSE(handler_->Saw("added " + path));  // still being written
  ASSERT_EQ(::write(fd, "rest", 4), 4);
  ::close(fd);
  ASSERT_TRUE(WaitSaw("added " + path));

  // Written again later: a modification, not a second arrival.
  WriteFile(path, "changed");
  ASSERT_TRUE(WaitSaw("modified " + path));
  int added = 0;
  for (const std::string& l : handler_->Lines()) added += l == "added " + path;
  EXPECT_EQ(added, 1);
}

TEST_F(DirWatcherTest, DirectoriesGainAndLoseWatchesAsTheyComeAndGo) {
  Watch();
  EXPECT_EQ(watcher_.WatchedDirectoryCountForTest(), 3u);  // tree, a, a/b
  std::filesystem::create_directories(root_ + "/new/deeper");
  ASSERT_TRUE(WaitSaw("added " + root_ + "/new"));
  // A file in a directory that appeared a moment ago is seen too.
  WriteFile(root_ + "/new/deeper/x.jpg", "jpg");
  ASSERT_TRUE(WaitSaw("added " + root_ + "/new/deeper/x.jpg"));
  EXPECT_EQ(watcher_.WatchedDirectoryCountForTest(), 5u);

  std::filesystem::remove_all(root_ + "/new");
  ASSERT_TRUE(WaitSaw("removed " + root_ + "/new"));
  EXPECT_TRUE(handler_->Saw("removed " + root_ + "/new/deeper/x.jpg"));
  EXPECT_TRUE(WaitUntil([&] { return watcher_.WatchedDirectoryCountForTest() == 3u; }));
}

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

TEST_F(DirWatcherTest, MovesWithinOutOfAndIntoTheTree) {
  std::string outside = dir_.Join("outside");
  std::filesystem::create_directories(outside + "/album");
  WriteFile(outside + "/album/t.mp3", "x");
  WriteFile(root_ + "/a/one.mp3", "1");
  Watch();

  ASSERT_EQ(::rename((root_ + "/a/one.mp3").c_str(), (root_ + "/a/b/two.mp3").c_str()), 0);
  ASSERT_TRUE(WaitSaw("renamed " + root_ + "/a/one.mp3 -> " + root_ + "/a/b/two.mp3"));

  // A moved directory keeps reporting under its new name.
  ASSERT_EQ(::rename((root_ + "/a/b").c_str(), (root_ + "/c").c_str()), 0);
  ASSERT_TRUE(WaitSaw("renamed " + root_ + "/a/b -> " + root_ + "/c"));
  WriteFile(root_ + "/c/three.mp3", "3");
  ASSERT_TRUE(WaitSaw("added " + root_ + "/c/three.mp3"));

  ASSERT_EQ(::rename((root_ + "/c").c_str(), (outside + "/c").c_str()), 0);
  ASSERT_TRUE(WaitSaw("removed " + root_ + "/c"));
  ASSERT_EQ(::rename((outside + "/album").c_str(), (root_ + "/album").c_str()), 0);
  ASSERT_TRUE(WaitSaw("added " + root_ + "/album"));
  WriteFile(root_ + "/album/u.mp3", "u");
  ASSERT_TRUE(WaitSaw("added " + root_ + "/album/u.mp3"));
  // The directory that left is not watched any more: tree, a, album.
  EXPECT_EQ(watcher_.WatchedDirectoryCountForTest(), 3u);
  WriteFile(outside + "/c/four.mp3", "4");
  Settle();
  EXPECT_FALSE(handler_->Saw("added " + outside + "/c/four.mp3"));
}

TEST_F(DirWatcherTest, FilterPatternsAndSubtreeFlagDecideWhatIsReported) {
  Watch(kChangeFileName, false, "*.tmp");
  WriteFile(root_ + "/skip.tmp", "");
  std::filesystem::create_directories(root_ + "/dir");
  WriteFile(root_ + "/a/nested.mp3", "");
  WriteFile(root_ + "/top.mp3", "");
  ASSERT_TRUE(WaitSaw("added " + root_ + "/top.mp3"));
  WriteFile(root_ + "/top.mp3", "again");  // modifications are not asked for
  Settle();
  for (const std::string& l : handler_->Lines()) {
    EXPECT_EQ(l.find("skip.tmp"), std::string::npos) << l;
    EXPECT_EQ(l.find("nested"), std::string::npos) << l;
    EXPECT_NE(l, "added " + root_ + "/dir");
    EXPECT_EQ(l.find("modified"), std::string::npos) << l;
  }
  EXPECT_EQ(watcher_.WatchedDirectoryCountForTest(), 1u);
}

TEST_F(DirWatcherTest, StartStopAndRefusalsWriteTheirLines) {
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

  std::string log = log_.Text();
  EXPECT_NE(log.find("ERROR: You've passed invalid parameters to "
                     "CDirectoryChangeWatcher::WatchDirectory()\n"),
            std::string::npos);
  EXPECT_NE(log.find("ERROR: CDirectoryChangeWatcher::WatchDirectory() -- " + root_ +
                     "/file is not a directory!\n"),
            std::string::npos);
  EXPECT_NE(log.find("A watch has begun on the following directory: " + root_ + "\n"),
            std::string::npos);
  EXPECT_NE(log.find("The watch on the following directory has stopped: " + root_ + "\n"),
            std::string::npos);
}

TEST_F(DirWatcherTest, RemovedRootEndsItsWatchWithAReadError) {
  Watch();
  std::filesystem::remove_all(root_);
  ASSERT_TRUE(WaitSaw("read error " + root_));
  EXPECT_NE(log_.Text().find("WARNING: ReadDirectoryChangesW has failed during normal "
                             "operations...failed on directory: " +
                             root_),
            std::string::npos);
  EXPECT_EQ(watcher_.WatchedDirectoryCountForTest(), 0u);
}

TEST_F(DirWatcherTest, OverflowReportsLostChangesAndRewatchesTheTree) {
  Watch();
  platform::InotifyEvent overflow;
  overflow.mask = platform::kInQueueOverflow;
  watcher_.InjectEventForTest(overflow);
  ASSERT_TRUE(WaitSaw("lost " + root_));
  EXPECT_EQ(watcher_.WatchedDirectoryCountForTest(), 3u);
  WriteFile(root_ + "/a/b/after.mp3", "");
  ASSERT_TRUE(WaitSaw("added " + root_ + "/a/b/after.mp3"));
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

}  // namespace
