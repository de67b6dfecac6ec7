#include "transcode/seek_index.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"
#include "transcode/testing/seek_index_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace seek_index_test;
using platform::testing::WaitUntil;

Bytes ReadBytes(const std::string& path) {
  std::string text = platform::testing::ReadFile(path);
  return Bytes(text.begin(), text.end());
}

// Real media made by ffmpeg, each file once per test program and only when a test needs
// it: 6 seconds of test pattern at 25 pictures per second, GOPs of 12 pictures, with DVD
// navigation packs (dvd.vob) or without (plain.vob).
std::string Media(const std::string& name) {
  static platform::testing::TempDir dir;
  std::string path = dir.Join(name);
  if (fs::exists(path)) return path;
  EXPECT_TRUE(platform::testing::RunFfmpeg(
      {"-f", "lavfi", "-i", "testsrc=duration=6:size=320x240:rate=25", "-c:v", "mpeg2video", "-g",
       "12", "-f", name == "dvd.vob" ? "dvd" : "vob", path}))
      << name;
  return path;
}

class SeekIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    fs::create_directory(lib_.Path("cache"));
    IndexCacheSetIdleIntervalForTest(20);
    IndexStopFlag.store(false);
  }

  void TearDown() override {
    IndexCacheShutdown();
    IndexCacheSetBuildHookForTest(nullptr);
    IndexCacheSetIdleIntervalForTest(0);
  }

  // Adds a library item for `path` and returns its index file name.
  std::string AddRecord(const std::string& path) {
    ObjectRow row;
    row.MyIndex = nextIndex_++;
    row.pIndex = 4;
    row.ObjectType = kObjectItem;
    row.FilePath = path;
    row.FileName = fs::path(path).filename().string();
    row.FileType = "Video";
    EXPECT_EQ(db_execute(sql::InsertObject(row)), 1);
    return IndexFileName(row.MyIndex, row.FileName);
  }

  std::string Place(const std::string& name, const Bytes& data) {
    std::string path = lib_.Path(name);
    platform::testing::WriteFile(path, std::string(data.begin(), data.end()));
    return path;
  }

  bool CacheHoldsTemporaryFiles() const {
    for (const auto& entry : fs::directory_iterator(lib_.Path("cache"))) {
      if (entry.path().extension() == ".tmp") return true;
    }
    return false;
  }

  TempLibrary lib_;
  int32_t nextIndex_ = 100;
};

TEST_F(SeekIndexTest, IndexFilesFollowTheirRecords) {
  // No record, or a name that would leave the cache: no index.
  EXPECT_EQ(IndexFileName(42, "a/b.avi"), "");
  EXPECT_FALSE(IndexBuild(Media("plain.vob")));
  EXPECT_TRUE(fs::is_empty(lib_.Path("cache")));

  // A rebuild replaces the old index; a failed one removes it.
  std::string path = Place("film.mpg", ReadBytes(Media("plain.vob")));
  std::string indexName = AddRecord(path);
  std::string other = AddRecord(Media("dvd.vob"));
  platform::testing::WriteFile(indexName, std::string(100, '\xAB'));
  ASSERT_TRUE(IndexBuild(path));
  ASSERT_TRUE(IndexBuild(Media("dvd.vob")));
  // A real muxer's GOPs, with and without navigation packs: time codes 0 to 5 seconds.
  EXPECT_EQ(MpegEntries(ReadBytes(indexName)).size(), 6u);
  EXPECT_EQ(MpegEntries(ReadBytes(other)).size(), 6u);
  Place("film.mpg", Bytes(10000, 0x55));
  EXPECT_FALSE(IndexBuild(path));
  EXPECT_FALSE(fs::exists(indexName));

  // Removing deletes only the index of that record.
  ASSERT_TRUE(IndexBuild(Media("dvd.vob")));
  IndexRemove("/no/such/record.vob");
  EXPECT_TRUE(fs::exists(other));
  IndexRemove(Media("dvd.vob"));
  EXPECT_FALSE(fs::exists(other));
}

TEST_F(SeekIndexTest, ShutdownEndsABuildInTheMiddleOfALargeFile) {
  // 8 GiB, almost all of it a hole, with GOP packs at both ends: a finished build would
  // write an index, so its absence shows that the build was cut short.
  Bytes vob = ReadBytes(Media("plain.vob"));
  std::string path = Place("huge.mpg", Bytes(vob.begin(), vob.begin() + 2 * kSector));
  const uint64_t size = uint64_t{8} << 30;
  fs::resize_file(path, size);
  {
    std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(size - kSector));
    out.write(reinterpret_cast<const char*>(vob.data()), kSector);
  }
  std::string indexName = AddRecord(path);
  std::atomic<bool> started{false};
  IndexCacheSetBuildHookForTest([&](const std::string&) { started = true; });
  ASSERT_EQ(IndexCacheStart(), 1);
  ASSERT_GT(IndexQueueAdd(path), 0);
  ASSERT_TRUE(WaitUntil([&] { return started.load() && CacheHoldsTemporaryFiles(); }, 20000));

  uint64_t before = platform::TickCountMs();
  IndexCacheShutdown();
  EXPECT_LT(platform::TickCountMs() - before, 1000u);
  EXPECT_FALSE(fs::exists(indexName));
  EXPECT_FALSE(CacheHoldsTemporaryFiles());
}

}  // namespace
