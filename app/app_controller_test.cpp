#include "app/app_controller.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/library_counters.h"
#include "app/settings.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"

namespace {

using platform::testing::WaitUntil;
using platform::testing::WriteWav;

// The controller's duties without the service: the service is never started here, so
// nothing is announced from the machine's own network namespace.
TEST(AppControllerTest, AddedFolderIsScannedWatchedAndCountedThenRestartIsScheduled) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  FST_BuildTree();
  LoadFilterTables();
  const std::string media = lib.Path("media");
  std::filesystem::create_directories(media);
  WriteWav(media + "/first.wav");
  CAppController controller;
  controller.StartWatching();
  ASSERT_TRUE(controller.AddFolders({media}));
  ASSERT_TRUE(controller.WaitForScan(20000));
  EXPECT_FALSE(controller.RestartPending());
  controller.Tick(platform::TickCountMs());
  EXPECT_TRUE(controller.RestartPending());
  EXPECT_EQ(AudioItemCount.load(), 1);

  // A file that appears later reaches the library through the watcher.
  WriteWav(media + "/second.wav");
  EXPECT_TRUE(WaitUntil([] { return db_getCount(sql::CountAudioItems()) == 2; }, 10000));

  // A removed folder is no longer followed.
  ASSERT_TRUE(controller.RemoveFolder(media));
  EXPECT_EQ(db_getCount(sql::CountAudioItems()), 0);
  WriteWav(media + "/third.wav");
  platform::SleepMs(300);  // give a wrongly kept watch time to act
  EXPECT_EQ(db_getCount(sql::CountAudioItems()), 0);
  EXPECT_FALSE(controller.RemoveFolder(media));
  controller.StopWatching();
}

}  // namespace
