#include "app/app_controller.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/library_counters.h"
#include "app/server_status.h"
#include "app/settings.h"
#include "gui/transfer_status.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/app_directory.h"
#include "platform/single_instance.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"

namespace {

using platform::testing::WaitUntil;
using platform::testing::WriteWav;

// --status's exit code with what it printed.
std::pair<int, std::string> Status() {
  ::testing::internal::CaptureStdout();
  int code = PrintServerStatus();
  return {code, ::testing::internal::GetCapturedStdout()};
}

// The controller's duties without the service: the service is never started here, so
// nothing is announced from the machine's own network namespace. A line break in a
// folder's name stays inside its line of --status.
TEST(AppControllerTest, AddedFolderIsScannedCountedAndWatchedUntilItIsRemoved) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  FST_BuildTree();
  LoadFilterTables();
  const std::string media = lib.Path("media\nfolder");
  std::filesystem::create_directories(media);
  WriteWav(media + "/first.wav");
  CAppController controller;
  ASSERT_TRUE(controller.AddFolders({media}));
  ASSERT_TRUE(controller.WaitForScan(20000));
  EXPECT_FALSE(controller.RestartPending());
  controller.Tick(platform::TickCountMs());
  EXPECT_TRUE(controller.RestartPending());
  EXPECT_EQ(AudioItemCount.load(), 1);

  // --status of a stopped copy, of one that answers (with a transfer in progress) and of
  // one that does not answer status queries; and of a directory without a library.
  db_close();
  const std::string folderLine = "folders: 1\nfolder: 1 " + lib.Path("media?folder") + "\n";
  EXPECT_EQ(Status(), std::make_pair(0, "directory: " + lib.dir() + "\nstate: stopped\nname: \n" +
                                            folderLine +
                                            "udn: none\nweb-port: not running\n"
                                            "stream-port: not running\nlighttpd-port: not "
                                            "running\ntransfers: not running\n"));
  bool another = true;
  auto running = platform::SingleInstance::Acquire(
      lib.dir(), [] {}, &another, ServerStatusAnswer);
  ASSERT_TRUE(running && !another);
  RecordTransfer("/m/a\tb.wav", "10.0.0.9", 100, "/0/1/a.wav");
  EXPECT_NE(Status().second.find("state: running\n"), std::string::npos);
  EXPECT_NE(Status().second.find(folderLine + "udn: none\nweb-port: none\nstream-port: none\n"
                                              "lighttpd-port: none\ntransfers: 1\n"
                                              "transfer: 10.0.0.9 0 100 /m/a?b.wav\n"),
            std::string::npos);
  ClearTransfers();
  running.reset();
  running = platform::SingleInstance::Acquire(
      lib.dir(), [] {}, &another);
  EXPECT_NE(Status().second.find("udn: none\nweb-port: unknown\n"), std::string::npos);
  running.reset();
  platform::InitAppDirectory(lib.Path("empty"));
  EXPECT_EQ(Status().first, 1);
  platform::InitAppDirectory(lib.dir());
  ASSERT_EQ(db_open(), 1);

  // A file that appears later reaches the library through the watcher.
  controller.StartWatching();
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
