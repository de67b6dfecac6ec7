#include "gui/media_details.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <filesystem>
#include <fstream>

#include "app/app_controller.h"
#include "app/settings.h"
#include "gui/media_info_dialog.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

class MediaDetailsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    FST_BuildTree();
    LoadFilterTables();
    folder_ = lib_.Path("music");
    fs::create_directories(folder_);
    song_ = folder_ + "/song.mp3";
    platform::RunResult made = platform::RunToEnd(
        {"ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=1",
         "-metadata", "title=Old Title", "-metadata", "artist=Old Artist", "-metadata",
         "album=Old Album", "-metadata", "genre=Jazz", "-c:a", "libmp3lame", song_},
        30000);
    ASSERT_TRUE(made.exited && made.exitCode == 0) << "ffmpeg could not make the test file";
    CAppController controller;
    ASSERT_TRUE(controller.AddFolders({folder_}));
    ASSERT_TRUE(controller.WaitForScan(20000));
    controller.CompleteScan();
  }

  // Every library row of the file has these tags.
  void ExpectRows(const MediaDetails& expected) {
    int rows = db_selectT(sql::ByPath(song_));
    ASSERT_GE(rows, 2);
    for (int i = 0; i < rows; ++i) {
      const MediaRecord& record = db_selectResults()[i];
      EXPECT_EQ(record.Title, expected.Title);
      EXPECT_EQ(record.Author, expected.Author);
      EXPECT_EQ(record.Album, expected.Album);
      EXPECT_EQ(record.Genre, expected.Genre);
    }
  }

  TempLibrary lib_;
  std::string folder_;
  std::string song_;
};

TEST_F(MediaDetailsTest, AFileThatCannotBeWrittenLeavesTheLibraryAlone) {
  // A shared video whose container the tag writer cannot write.
  const std::string clip = folder_ + "/clip.avi";
  platform::RunResult made =
      platform::RunToEnd({"ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i",
                          "testsrc=size=64x48:duration=1", "-c:v", "mpeg4", clip},
                         30000);
  ASSERT_TRUE(made.exited && made.exitCode == 0);
  CAppController controller;
  ASSERT_TRUE(controller.RefreshFolder(folder_));
  ASSERT_TRUE(controller.WaitForScan(20000));
  controller.CompleteScan();
  MediaRecord before;
  ASSERT_GT(db_getOneRecord(sql::ByPath(clip), &before), 0);

  EXPECT_FALSE(SaveMediaDetails(clip, {"X", "Y", "Z", "W"}));
  MediaRecord after;
  ASSERT_GT(db_getOneRecord(sql::ByPath(clip), &after), 0);
  EXPECT_EQ(after.Title, before.Title);
  EXPECT_FALSE(SaveMediaDetails(lib_.Path("missing.mp3"), {"X", "Y", "Z", "W"}));
}

TEST_F(MediaDetailsTest, DialogShowsTheTagsAndSavesThemToTheFileAndEveryLibraryRow) {
  ExpectRows(ReadMediaDetails(song_));
  CMediaInfoDialog dialog(song_);
  QLineEdit* title = dialog.findChild<QLineEdit*>("title");
  QLineEdit* artist = dialog.findChild<QLineEdit*>("artist");
  ASSERT_TRUE(title != nullptr && artist != nullptr);
  EXPECT_EQ(title->text(), "Old Title");
  title->setText("Neue Stücke");
  artist->setText("Someone \"Else\"");
  dialog.Save();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(ReadMediaDetails(song_).Title, "Neue Stücke");
  ExpectRows({"Neue Stücke", "Someone \"Else\"", "Old Album", "Jazz"});
}

}  // namespace
