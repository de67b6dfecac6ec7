#include "internet/internet_items.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <cstdlib>

#include "internet/internet_limits.h"
#include "internet/stream_commands.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"

namespace {

using Status = InternetItemStatus;
constexpr InternetMediaType kAudio = InternetMediaType::kAudio;
constexpr InternetMediaType kVideo = InternetMediaType::kVideo;

class InternetItemsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.ok());
    FST_BuildTree();
  }
  void TearDown() override { Scanner().running.store(false); }

  static int Children(int32_t container) { return db_getCount(sql::Children(container)); }

  TempLibrary library_;
};

TEST_F(InternetItemsTest, BadInputIsRefusedAndNothingIsStored) {
  EXPECT_EQ(InternetItemAdd("   ", "t", kVideo), Status::kEmptyUrl);
  EXPECT_EQ(InternetItemAdd("http://x/\xFF", "t", kVideo), Status::kBadText);
  EXPECT_EQ(InternetItemAdd("http://x/\r\nHost: y", "t", kVideo), Status::kBadText);
  EXPECT_EQ(InternetItemAdd("http://x/" + std::string(kInternetUrlMaxBytes, 'u'), "t", kVideo),
            Status::kBadText);
  Scanner().running.store(true);
  EXPECT_EQ(InternetItemAdd("http://x/", "t", kVideo), Status::kScanRunning);
  EXPECT_EQ(InternetItemModify({"a", "b", kVideo}, "http://x/", "t", kVideo), Status::kScanRunning);
  Scanner().running.store(false);
  EXPECT_EQ(Children(kContainerInternetAllVideos), 0);

  // A long title is kept to what a listed row can name, so the row still removes it.
  ASSERT_EQ(InternetItemAdd("http://long.test/", std::string(2000, 't'), kVideo), Status::kDone);
  std::vector<InternetItem> rows = InternetItemList(kVideo);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].title.size(), kInternetTitleMaxBytes);
  EXPECT_EQ(InternetItemDelete(rows), 1);
}

TEST_F(InternetItemsTest, ModifyReplacesTheItemOrChangesNothing) {
  ASSERT_EQ(InternetItemAdd("http://tv.test/old", "Old", kVideo), Status::kDone);
  InternetItem row = InternetItemList(kVideo).at(0);

  EXPECT_EQ(InternetItemModify(row, "", "New", kAudio), Status::kEmptyUrl);
  EXPECT_EQ(InternetItemList(kVideo).size(), 1u);

  ASSERT_EQ(InternetItemModify(row, "http://radio.test/new", "New", kAudio), Status::kDone);
  EXPECT_TRUE(InternetItemList(kVideo).empty());
  EXPECT_EQ(Children(kContainerInternetAllVideos), 0);
  ASSERT_EQ(InternetItemList(kAudio).size(), 1u);
  EXPECT_EQ(InternetItemList(kAudio)[0].url, "http://radio.test/new");

  // A row whose item went meanwhile still gets the new values stored.
  ASSERT_EQ(InternetItemModify(row, "http://tv.test/again", "", kVideo), Status::kDone);
  EXPECT_EQ(InternetItemList(kVideo).size(), 1u);
}

// A stream in memory; Take closes it and returns what was written.
struct MemoryFile {
  char* text = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&text, &size);
  std::string Take() {
    std::fclose(file);
    std::string written(text, size);
    std::free(text);
    return written;
  }
};
// Runs stream commands and returns what they printed on standard output and error.
struct Printed {
  int status;
  std::string out;
  std::string err;
};
Printed RunCommands(const std::vector<StreamCommand>& commands, bool list) {
  MemoryFile out, err;
  int status = Internet_RunStreamCommands(commands, list, out.file, err.file);
  return {status, out.Take(), err.Take()};
}

TEST_F(InternetItemsTest, StreamCommandsAddListAndRemove) {
  using Action = StreamCommand::Action;
  Printed p = RunCommands({{Action::kAdd, "http://tv.test/ch1", "Channel \"1\" 'x'", kVideo},
                           {Action::kAdd, "http://radio.test/1", "", kAudio},
                           {Action::kAdd, "http://radio.test/1", "", kAudio}},
                          true);
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_NE(p.out.find("is listed already"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find("video\tChannel \"1\" 'x'\thttp://tv.test/ch1\n"), std::string::npos)
      << p.out;
  EXPECT_NE(p.out.find("audio\thttp://radio.test/1\thttp://radio.test/1\n"), std::string::npos)
      << p.out;

  p = RunCommands({{Action::kRemove, "http://radio.test/1", "", kVideo}}, false);
  EXPECT_EQ(p.status, 2);
  EXPECT_NE(p.err.find("no video stream"), std::string::npos) << p.err;

  p = RunCommands({{Action::kRemove, "http://radio.test/1", "", kAudio},
                   {Action::kRemove, "http://tv.test/ch1", "Channel \"1\" 'x'", kVideo}},
                  true);
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_NE(p.out.find("No internet streams are listed."), std::string::npos) << p.out;
}

}  // namespace
