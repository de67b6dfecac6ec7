#include "app/app_controller.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/library_counters.h"
#include "app/settings.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/tick.h"

namespace {

namespace fs = std::filesystem;

void WriteWav(const std::string& path) {
  std::string data(8000, '\x80');
  auto u32 = [](uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  auto u16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  std::ofstream(path, std::ios::binary)
      << "RIFF" + u32(36 + 8000) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(8000) + u32(8000) +
             u16(1) + u16(8) + "data" + u32(8000) + data;
}

bool PollFor(const std::function<bool()>& done, int timeoutMs) {
  uint64_t deadline = platform::TickCountMs() + static_cast<uint64_t>(timeoutMs);
  while (platform::TickCountMs() < deadline) {
    if (done()) return true;
    platform::SleepMs(20);
  }
  return done();
}

// The controller's duties without the service: the service is never started here, so
// nothing is announced from the machine's own network namespace.
class AppControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    FST_BuildTree();
    LoadFilterTables();
    media_ = lib_.Path("media");
    fs::create_directories(media_);
    WriteWav(media_ + "/first.wav");
  }

  TempLibrary lib_;
  std::string media_;
};

TEST_F(AppControllerTest, AddedFolderIsScannedWatchedAndCountedThenRestartIsScheduled) {
  CAppController controller;
  controller.StartWatching();
  ASSERT_TRUE(controller.AddFolders({media_}));
  ASSERT_TRUE(controller.WaitForScan(20000));
  EXPECT_FALSE(controller.RestartPending());
  controller.Tick(platform::TickCountMs());
  EXPECT_TRUE(controller.RestartPending());
  EXPECT_EQ(AudioItemCount.load(), 1);

  // A file that appears later reaches the library through the watcher.
  WriteWav(media_ + "/second.wav");
  EXPECT_TRUE(PollFor([] { return db_getCount(sql::CountAudioItems()) == 2; }, 10000));

  // A removed folder is no longer followed.
  ASSERT_TRUE(controller.RemoveFolder(media_));
  EXPECT_EQ(db_getCount(sql::CountAudioItems()), 0);
  WriteWav(media_ + "/third.wav");
  platform::SleepMs(300);  // give a wrongly kept watch time to act
  EXPECT_EQ(db_getCount(sql::CountAudioItems()), 0);
  EXPECT_FALSE(controller.RemoveFolder(media_));
  controller.StopWatching();
}

TEST_F(AppControllerTest, SharingAFolderTwiceScansItOnce) {
  CAppController controller;
  ASSERT_TRUE(controller.AddFolders({media_}));
  ASSERT_TRUE(controller.WaitForScan(20000));
  controller.CompleteScan();
  std::vector<std::string> already;
  ASSERT_TRUE(controller.AddFolders({media_}, &already));
  EXPECT_EQ(already, (std::vector<std::string>{media_}));
  EXPECT_FALSE(controller.ScanRunning());
}

TEST_F(AppControllerTest, ClearingForgetsFoldersAndKeepsTheSkeleton) {
  CAppController controller;
  controller.StartWatching();
  ASSERT_TRUE(controller.AddFolders({media_}));
  ASSERT_TRUE(controller.WaitForScan(20000));
  controller.ClearLibrary();
  EXPECT_EQ(db_countSharedFolders(), 0);
  EXPECT_EQ(db_getCount(sql::AllObjects()), 28);
  EXPECT_EQ(SharedItemCount.load(), 0);
  EXPECT_FALSE(controller.RefreshFolder(media_));
}

TEST_F(AppControllerTest, RenameRefusesBadNamesAndStoresGoodOnes) {
  CAppController controller;
  EXPECT_FALSE(controller.RenameServer("a|b"));
  EXPECT_TRUE(controller.RenameServer("Den"));
  EXPECT_EQ(controller.ServerName(), "Den");
}

}  // namespace
