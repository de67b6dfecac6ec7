#include "transcode/seek_index.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "library/library.h"
#include "library/statements.h"
#include "platform/app_directory.h"
#include "platform/log.h"
#include "platform/tick.h"
#include "transcode/seek_index_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace seek_index_test;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

bool CodeAt(const Bytes& b, size_t at, uint8_t code) {
  return at + 4 <= b.size() && b[at] == 0 && b[at + 1] == 0 && b[at + 2] == 1 && b[at + 3] == code;
}

bool SectorHolds(const Bytes& file, size_t sector, uint8_t code) {
  for (size_t at = sector * kSector; at + 4 <= (sector + 1) * kSector; ++at) {
    if (CodeAt(file, at, code)) return true;
  }
  return false;
}

bool IsNavigationPack(const Bytes& file, size_t sector) {
  return CodeAt(file, sector * kSector, 0xBA) && CodeAt(file, sector * kSector + 38, 0xBF);
}

// The PTS of the MPEG-2 video packet that opens this sector, or -1.
int64_t VideoPts(const Bytes& file, size_t sector) {
  size_t base = sector * kSector;
  if (!CodeAt(file, base, 0xBA)) return -1;
  size_t p = base + 14 + (file[base + 13] & 7);
  if (!CodeAt(file, p, 0xE0) || (file[p + 7] & 0x80) == 0) return -1;
  const uint8_t* t = file.data() + p + 9;
  return int64_t{(t[0] >> 1) & 7} << 30 | int64_t{t[1]} << 22 | int64_t{t[2] >> 1} << 15 |
         int64_t{t[3]} << 7 | int64_t{t[4] >> 1};
}

// Waits until `done` holds or `limitMs` pass; true when it held.
template <typename Predicate>
bool WaitFor(Predicate done, uint64_t limitMs = 20000) {
  uint64_t end = platform::TickCountMs() + limitMs;
  while (!done()) {
    if (platform::TickCountMs() > end) return false;
    platform::SleepMs(5);
  }
  return true;
}

// Real media made by ffmpeg, each file once per test program and only when a test needs
// it: 6 seconds of test pattern at 25 pictures per second, GOPs of 12 pictures.
std::string g_mediaDir;

const char* FfmpegArguments(const std::string& name) {
  if (name == "clip.avi") return "-t 3 -c:v mpeg4 -vtag XVID";
  if (name == "dvd.vob") return "-c:v mpeg2video -g 12 -f dvd";
  if (name == "plain.vob") return "-c:v mpeg2video -g 12 -f vob";
  if (name == "clip.mpg") return "-c:v mpeg1video -g 12 -f mpeg";
  return "-c:v mpeg2video -g 12 -f mpegts";
}

std::string Media(const std::string& name) {
  std::string path = g_mediaDir + "/" + name;
  if (!fs::exists(path)) {
    std::string command =
        "ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc=duration=6:size=320x240:rate=25 " +
        std::string(FfmpegArguments(name)) + " '" + path + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }
  return path;
}

class SeekIndexTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/orvex-seek-media-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    g_mediaDir = pattern;
  }

  static void TearDownTestSuite() {
    if (!g_mediaDir.empty()) fs::remove_all(g_mediaDir);
    g_mediaDir.clear();
  }

  void SetUp() override {
    ASSERT_FALSE(g_mediaDir.empty());
    char pattern[] = "/tmp/orvex-seek-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    platform::InitAppDirectory(dir_);
    fs::create_directory(dir_ + "/cache");
    platform::SetLogSink([](std::string_view) {});
    ASSERT_EQ(db_open(), 1);
    IndexCacheSetIdleIntervalForTest(20);
    IndexStopFlag.store(false);
  }

  void TearDown() override {
    IndexCacheShutdown();
    IndexCacheSetBuildHookForTest(nullptr);
    IndexCacheSetIdleIntervalForTest(0);
    db_close();
    platform::SetLogSink(nullptr);
    fs::remove_all(dir_);
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
    std::string path = dir_ + "/" + name;
    WriteFile(path, data);
    return path;
  }

  bool CacheHoldsTemporaryFiles() const {
    for (const auto& entry : fs::directory_iterator(dir_ + "/cache")) {
      if (entry.path().extension() == ".tmp") return true;
    }
    return false;
  }

  // Checks an index made from GOP headers against the file: every entry starts at a pack
  // that holds a GOP header and ends where the next picture or GOP header was found (or at
  // the end of the file), before the next entry; the times count up second by second.
  void ExpectGopIndex(const Bytes& file, const std::vector<MpegEntry>& entries) {
    const size_t sectors = file.size() / kSector;
    ASSERT_GE(entries.size(), 5u);
    for (size_t i = 0; i < entries.size(); ++i) {
      const MpegEntry& e = entries[i];
      EXPECT_TRUE(CodeAt(file, e.start * kSector, 0xBA)) << e;
      EXPECT_TRUE(SectorHolds(file, e.start, 0xB8)) << e;
      EXPECT_GT(e.end, e.start) << e;
      EXPECT_TRUE(e.end == sectors || SectorHolds(file, e.end, 0x00) ||
                  SectorHolds(file, e.end, 0xB8))
          << e;
      EXPECT_EQ(e.time, i) << e;
      if (i + 1 < entries.size()) {
        EXPECT_LE(e.end, entries[i + 1].start) << e;
      }
    }
    EXPECT_LE(entries.back().end, sectors);
  }

  std::string dir_;
  int32_t nextIndex_ = 100;
};

// ---- Index files of real media ----

TEST_F(SeekIndexTest, AviIndexListsEveryVideoFrameAtItsChunk) {
  std::string indexName = AddRecord(Media("clip.avi"));
  ASSERT_TRUE(IndexBuild(Media("clip.avi")));
  Bytes index = ReadFile(indexName);
  Bytes avi = ReadFile(Media("clip.avi"));
  ASSERT_GE(index.size(), 8u);
  EXPECT_EQ(std::string(index.begin(), index.begin() + 4), "hidx");
  uint32_t count = Le32(index, 4);
  EXPECT_EQ(count, 75u);  // 3 seconds at 25 frames per second
  ASSERT_EQ(index.size(), 8 + 16 * size_t{count});

  // Offsets count from the "movi" list type; each must name the chunk the entry describes.
  auto movi = std::search(avi.begin(), avi.end(), std::begin("movi"), std::end("movi") - 1);
  ASSERT_NE(movi, avi.end());
  size_t moviAt = static_cast<size_t>(movi - avi.begin());
  uint32_t previous = 0;
  for (uint32_t i = 0; i < count; ++i) {
    size_t at = 8 + 16 * size_t{i};
    std::string id(index.begin() + static_cast<long>(at),
                   index.begin() + static_cast<long>(at) + 4);
    EXPECT_TRUE(id == "00dc" || id == "00db") << id;
    uint32_t offset = Le32(index, at + 8);
    EXPECT_GT(offset, previous);
    previous = offset;
    size_t chunk = moviAt + offset;
    ASSERT_LE(chunk + 8, avi.size());
    EXPECT_EQ(std::memcmp(avi.data() + chunk, index.data() + at, 4), 0) << i;
    EXPECT_EQ(Le32(avi, chunk + 4), Le32(index, at + 12)) << i;
  }
  EXPECT_FALSE(CacheHoldsTemporaryFiles());
}

TEST_F(SeekIndexTest, DvdNavigationPacksGiveOneEntryPerSecondAtTheirSectors) {
  // The muxer writes navigation packs with empty fields; fill them in as an authoring
  // tool does: the unit's start time and its end, the first picture one sector on.
  Bytes dvd = ReadFile(Media("dvd.vob"));
  size_t sectors = dvd.size() / kSector;
  std::vector<size_t> navs;
  for (size_t s = 0; s < sectors; ++s) {
    if (IsNavigationPack(dvd, s)) navs.push_back(s);
  }
  ASSERT_GE(navs.size(), 10u);
  std::vector<MpegEntry> expected;
  int64_t first = -1, last = -1;
  for (size_t i = 0; i < navs.size(); ++i) {
    size_t next = i + 1 < navs.size() ? navs[i + 1] : sectors;
    int64_t pts = -1;
    for (size_t s = navs[i] + 1; s < next && pts < 0; ++s) pts = VideoPts(dvd, s);
    ASSERT_GE(pts, 0);
    size_t base = navs[i] * kSector;
    PutBe32(dvd, base + 57, static_cast<uint32_t>(pts));
    PutBe32(dvd, base + 1039, static_cast<uint32_t>(next - navs[i] - 1));
    PutBe32(dvd, base + 1043, 1);
    int64_t seconds = (pts + 45000) / 90000;
    if (first < 0) first = seconds;
    if (seconds != last) {
      expected.push_back({static_cast<uint32_t>(navs[i]), static_cast<uint32_t>(seconds - first),
                          static_cast<uint32_t>(navs[i] + 1)});
    }
    last = seconds;
  }
  std::string path = Place("authored.VOB", dvd);
  std::string indexName = AddRecord(path);
  ASSERT_TRUE(IndexBuild(path));
  std::vector<MpegEntry> entries = MpegEntries(ReadFile(indexName));
  EXPECT_EQ(entries, expected);
  ASSERT_FALSE(entries.empty());
  for (const MpegEntry& e : entries) EXPECT_TRUE(IsNavigationPack(dvd, e.start)) << e;
  EXPECT_EQ(entries.back().time, 5u);
}

TEST_F(SeekIndexTest, StreamsWithoutNavigationAreIndexedByGopsAndOthersGetNoIndex) {
  // Clearing the time stamp flags of every video packet leaves only the GOP time codes.
  Bytes stamped = ReadFile(Media("plain.vob"));
  for (size_t s = 0; s < stamped.size() / kSector; ++s) {
    size_t base = s * kSector, p = base + 14 + (stamped[base + 13] & 7);
    if (CodeAt(stamped, base, 0xBA) && CodeAt(stamped, p, 0xE0)) stamped[p + 7] &= 0x3F;
  }
  // DVD packs with empty navigation fields fall back to presentation times. A stream of
  // sparse pack headers (MPEG-1 muxer) or of transport packets gets no index.
  std::vector<std::pair<std::string, bool>> cases = {{Media("dvd.vob"), true},
                                                     {Media("plain.vob"), true},
                                                     {Place("stamped.mpeg", stamped), true},
                                                     {Media("clip.mpg"), false},
                                                     {Media("clip.ts"), false}};
  for (const auto& [path, indexed] : cases) {
    SCOPED_TRACE(path);
    std::string indexName = AddRecord(path);
    ASSERT_EQ(IndexBuild(path), indexed);
    EXPECT_EQ(fs::exists(indexName), indexed);
    EXPECT_FALSE(CacheHoldsTemporaryFiles());
    if (!indexed) continue;
    std::vector<MpegEntry> entries = MpegEntries(ReadFile(indexName));
    ExpectGopIndex(ReadFile(path), entries);
    // 6 seconds of GOPs of 12 pictures at 25 per second: time codes 0 to 5 seconds.
    if (path.ends_with(".mpeg")) {
      EXPECT_EQ(entries.size(), 6u);
    }
  }
}

TEST_F(SeekIndexTest, CutAndDamagedMediaNeverLeaveBrokenOrTemporaryFiles) {
  std::mt19937 random(7);
  for (const std::string& fixture : {Media("clip.avi"), Media("dvd.vob"), Media("plain.vob")}) {
    Bytes media = ReadFile(fixture);
    std::string extension = fs::path(fixture).extension().string();
    for (int round = 0; round < 12; ++round) {
      Bytes changed(media.begin(), media.begin() + static_cast<long>(random() % media.size()));
      if (round % 2 == 1) {
        for (int i = 0; i < 64 && !changed.empty(); ++i) {
          changed[random() % changed.size()] = static_cast<uint8_t>(random());
        }
      }
      std::string path =
          Place(fs::path(fixture).stem().string() + std::to_string(round) + extension, changed);
      std::string indexName = AddRecord(path);
      if (IndexBuild(path)) {
        Bytes index = ReadFile(indexName);
        ASSERT_GT(index.size(), 8u);
        EXPECT_EQ(std::memcmp(index.data(), "hidx", 4), 0);
      } else {
        EXPECT_FALSE(fs::exists(indexName));
      }
      EXPECT_FALSE(CacheHoldsTemporaryFiles());
    }
  }
}

// ---- Index files and records ----

TEST_F(SeekIndexTest, FileWithoutRecordOrWithANameThatLeavesTheCacheIsNotIndexed) {
  EXPECT_EQ(IndexFileName(42, "a/b.avi"), "");
  EXPECT_FALSE(IndexBuild(Media("plain.vob")));
  EXPECT_TRUE(fs::is_empty(dir_ + "/cache"));
}

TEST_F(SeekIndexTest, RebuildReplacesTheOldIndexAndAFailedOneRemovesIt) {
  std::string path = Place("film.mpg", ReadFile(Media("plain.vob")));
  std::string indexName = AddRecord(path);
  WriteFile(indexName, Bytes(100, 0xAB));
  ASSERT_TRUE(IndexBuild(path));
  Bytes index = ReadFile(indexName);
  EXPECT_EQ(std::memcmp(index.data(), "hidx", 4), 0);

  WriteFile(path, Bytes(10000, 0x55));
  EXPECT_FALSE(IndexBuild(path));
  EXPECT_FALSE(fs::exists(indexName));
}

TEST_F(SeekIndexTest, RemoveDeletesOnlyTheIndexOfThatRecord) {
  std::string first = AddRecord(Media("plain.vob"));
  std::string second = AddRecord(Media("dvd.vob"));
  ASSERT_TRUE(IndexBuild(Media("plain.vob")));
  ASSERT_TRUE(IndexBuild(Media("dvd.vob")));
  IndexRemove(Media("plain.vob"));
  IndexRemove("/no/such/record.vob");
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(fs::exists(second));
}

// ---- Queue and worker ----

TEST_F(SeekIndexTest, QueueRefusesWhenStoppedAndPathsThatDoNotFitAnEntry) {
  EXPECT_EQ(IndexQueueAdd("/media/a.vob"), 0);
  ASSERT_EQ(IndexCacheStart(), 1);
  EXPECT_EQ(IndexCacheStart(), 1);
  // Keep the worker away so the counts are exact.
  IndexCacheSetIdleIntervalForTest(60000);
  IndexCacheShutdown();
  ASSERT_EQ(IndexCacheStart(), 1);
  std::string fits = "/" + std::string(778, 'a');
  EXPECT_EQ(IndexQueueAdd(fits), 1);
  EXPECT_EQ(IndexQueueAdd(fits + "b"), 0);
  EXPECT_EQ(IndexQueueCount(), 1u);
  IndexCacheShutdown();
  EXPECT_EQ(IndexQueueAdd("/media/a.vob"), 0);
  EXPECT_EQ(IndexQueueCount(), 0u);
}

TEST_F(SeekIndexTest, QueueOf250GrowsTwiceAndIsBuiltInOnePass) {
  // Small navigation-pack files: two units of one sector each.
  Bytes nav(2 * kSector, 0);
  for (size_t s = 0; s < 2; ++s) {
    size_t base = s * kSector;
    nav[base + 2] = 1, nav[base + 3] = 0xBA, nav[base + 4] = 0x44;
    nav[base + 40] = 1, nav[base + 41] = 0xBF;
    PutBe32(nav, base + 57, static_cast<uint32_t>(s * 90000));
  }
  std::vector<std::string> paths, indexNames;
  for (int i = 0; i < 250; ++i) {
    paths.push_back(Place("title" + std::to_string(i) + ".vob", nav));
    indexNames.push_back(AddRecord(paths.back()));
  }
  // The worker holds at the first file until every path is queued.
  std::mutex gate;
  std::unique_lock hold(gate);
  std::mutex seenMutex;
  std::vector<size_t> countsSeen;
  IndexCacheSetBuildHookForTest([&](const std::string&) {
    std::lock_guard wait(gate);
    size_t count = IndexQueueCount();
    std::lock_guard lock(seenMutex);
    countsSeen.push_back(count);
  });
  ASSERT_EQ(IndexCacheStart(), 1);
  for (int i = 0; i < 250; ++i) EXPECT_EQ(IndexQueueAdd(paths[i]), i + 1);
  EXPECT_EQ(IndexQueueCapacity(), 300u);
  hold.unlock();

  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard lock(seenMutex);
    return countsSeen.size() == 250 && IndexQueueCount() == 0;
  }));
  for (const std::string& name : indexNames) EXPECT_TRUE(fs::exists(name)) << name;
  // Within one pass the queue keeps all its entries until the last one is built.
  std::lock_guard lock(seenMutex);
  for (size_t count : countsSeen) EXPECT_EQ(count, 250u);
}

TEST_F(SeekIndexTest, StopFlagEndsThePassAfterTheCurrentFile) {
  std::vector<std::string> paths, indexNames;
  for (int i = 0; i < 4; ++i) {
    paths.push_back(Place("part" + std::to_string(i) + ".mpg", ReadFile(Media("plain.vob"))));
    indexNames.push_back(AddRecord(paths.back()));
  }
  // The first build waits until every path is queued, then asks the worker to stop.
  std::mutex gate;
  std::unique_lock hold(gate);
  std::atomic<int> builds{0};
  IndexCacheSetBuildHookForTest([&](const std::string&) {
    if (builds.fetch_add(1) == 0) {
      std::lock_guard wait(gate);
      IndexStopFlag.store(true, std::memory_order_release);
    }
  });
  ASSERT_EQ(IndexCacheStart(), 1);
  for (const std::string& path : paths) ASSERT_GT(IndexQueueAdd(path), 0);
  hold.unlock();
  ASSERT_TRUE(WaitFor([&] { return builds.load() >= 1 && IndexQueueCount() == 0; }));
  EXPECT_EQ(builds.load(), 1);
  EXPECT_TRUE(fs::exists(indexNames[0]));
  for (int i = 1; i < 4; ++i) EXPECT_FALSE(fs::exists(indexNames[i]));

  // The next enqueue clears the flag and is built.
  ASSERT_EQ(IndexQueueAdd(paths[2]), 1);
  EXPECT_TRUE(WaitFor([&] { return fs::exists(indexNames[2]); }));
  EXPECT_EQ(builds.load(), 2);
}

TEST_F(SeekIndexTest, ShutdownEndsABuildInTheMiddleOfALargeFile) {
  // 8 GiB, almost all of it a hole, with GOP packs at both ends: a finished build would
  // write an index, so its absence shows that the build was cut short.
  Bytes vob = ReadFile(Media("plain.vob"));
  Bytes head(vob.begin(), vob.begin() + 2 * kSector);
  std::string path = Place("huge.mpg", head);
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
  ASSERT_TRUE(WaitFor([&] { return started.load() && CacheHoldsTemporaryFiles(); }));

  uint64_t before = platform::TickCountMs();
  IndexCacheShutdown();
  EXPECT_LT(platform::TickCountMs() - before, 1000u);
  EXPECT_FALSE(fs::exists(indexName));
  EXPECT_FALSE(CacheHoldsTemporaryFiles());
}

}  // namespace
