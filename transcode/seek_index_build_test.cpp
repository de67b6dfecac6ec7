#include "transcode/seek_index_build.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/unique_fd.h"
#include "transcode/seek_index_test_support.h"

namespace {

using seek_index::BuildIndexFile;
using seek_index::BuildStatus;
using namespace seek_index_test;

void Append(Bytes& b, std::initializer_list<uint8_t> bytes) { b.insert(b.end(), bytes); }
void Append(Bytes& b, const char* text) { b.insert(b.end(), text, text + std::strlen(text)); }

// An MPEG-2 pack header of 14 bytes (no stuffing), padded with 0xFF to a whole sector
// after `content`.
Bytes Pack(const Bytes& content) {
  Bytes s = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
  s.insert(s.end(), content.begin(), content.end());
  s.resize(kSector, 0xFF);
  return s;
}

// A navigation pack: system header to byte 38, then the private-stream-2 packets whose
// fields sit at 57 (start time), 1039 (unit end) and 1043 (first reference end).
Bytes NavPack(uint32_t startPtm, uint32_t unitEnd, uint32_t firstRefEnd) {
  Bytes content = {0x00, 0x00, 0x01, 0xBB, 0x00, 0x12};
  content.resize(24, 0x00);
  Append(content, {0x00, 0x00, 0x01, 0xBF, 0x03, 0xD4});
  Bytes s = Pack(content);
  std::fill(s.begin() + 44, s.end(), 0x00);
  PutBe32(s, 57, startPtm);
  PutBe32(s, 1039, unitEnd);
  PutBe32(s, 1043, firstRefEnd);
  return s;
}

Bytes GopHeader(int hours, int minutes, int seconds) {
  Bytes b = {0x00, 0x00, 0x01, 0xB8, 0, 0, 0, 0};
  uint32_t code =
      uint32_t(hours) << 26 | uint32_t(minutes) << 20 | 1u << 19 | uint32_t(seconds) << 13;
  PutBe32(b, 4, code);
  return b;
}

Bytes PictureStart() { return {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F}; }

// A pack opening with an MPEG-2 video packet, with a PTS when given, carrying `payload`.
Bytes VideoPack(std::optional<uint64_t> pts, const Bytes& payload) {
  Bytes p = {0x00, 0x00, 0x01, 0xE0, 0x07, 0xEC, 0x81};
  if (pts) {
    uint64_t v = *pts;
    Append(p, {0x80, 0x05});
    Append(p, {static_cast<uint8_t>(0x21 | ((v >> 29) & 0x0E)), static_cast<uint8_t>(v >> 22),
               static_cast<uint8_t>(0x01 | ((v >> 14) & 0xFE)), static_cast<uint8_t>(v >> 7),
               static_cast<uint8_t>(0x01 | ((v << 1) & 0xFE))});
  } else {
    Append(p, {0x00, 0x00});
  }
  p.insert(p.end(), payload.begin(), payload.end());
  return Pack(p);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Gop(std::optional<uint64_t> pts, int h, int m, int s) {
  Bytes payload = GopHeader(h, m, s);
  Bytes pic = PictureStart();
  payload.insert(payload.end(), pic.begin(), pic.end());
  return VideoPack(pts, payload);
}

struct Result {
  BuildStatus status;
  Bytes index;
};

platform::UniqueFd MemFile(const Bytes& data) {
  platform::UniqueFd fd(::memfd_create("seek-index-test", MFD_CLOEXEC));
  EXPECT_TRUE(fd.Valid());
  if (!data.empty()) {
    EXPECT_EQ(::write(fd.Get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  return fd;
}

Result Build(const Bytes& media, const std::string& extension, bool stop = false) {
  platform::UniqueFd in = MemFile(media);
  platform::UniqueFd out = MemFile({});
  std::atomic<bool> stopFlag{stop};
  Result r;
  r.status = BuildIndexFile(in.Get(), extension, out.Get(), stopFlag);
  off_t size = ::lseek(out.Get(), 0, SEEK_END);
  r.index.resize(static_cast<size_t>(size));
  if (size > 0) {
    EXPECT_EQ(::pread(out.Get(), r.index.data(), r.index.size(), 0), size);
  }
  return r;
}

std::vector<uint32_t> Times(const std::vector<MpegEntry>& entries) {
  std::vector<uint32_t> times;
  for (const auto& e : entries) times.push_back(e.time);
  return times;
}

// ---- Pack layout ----

TEST(SeekIndexLayoutTest, OnlyPacksOfOneSectorStartingInTheFirstRawSectorAreAccepted) {
  std::vector<std::string> lines;
  platform::SetLogSink([&](std::string_view line) { lines.emplace_back(line); });
  auto head = [](size_t first, size_t distance) {
    Bytes b(4704, 0);
    b[first + 2] = 1, b[first + 3] = 0xBA;
    b[first + distance + 2] = 1, b[first + distance + 3] = 0xBA;
    return b;
  };
  Bytes sectors = head(0, 2048), lastStart = head(2351, 2048), late = head(2352, 2048);
  Bytes raw = head(0, 2352), cut = {0x00, 0x00, 0x01, 0xBA};
  EXPECT_TRUE(seek_index::HasSectorPackLayout(sectors.data(), sectors.size()));
  EXPECT_TRUE(seek_index::HasSectorPackLayout(lastStart.data(), lastStart.size()));
  EXPECT_FALSE(seek_index::HasSectorPackLayout(late.data(), late.size()));
  EXPECT_FALSE(seek_index::HasSectorPackLayout(cut.data(), cut.size()));
  lines.clear();
  EXPECT_FALSE(seek_index::HasSectorPackLayout(raw.data(), raw.size()));
  platform::SetLogSink(nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"\n\noffset:0, next;2352\n"});
}

// ---- DVD navigation packs ----

TEST(SeekIndexDvdTest, RepeatedSecondsAreSkippedAndJumpsContinueOneSecondOn) {
  // Units of two sectors: navigation pack, then a video pack.
  Bytes media;
  for (uint32_t seconds : {10, 11, 11, 12, 5, 6}) {
    Bytes nav = NavPack(seconds * 90000, 1, 1);
    media.insert(media.end(), nav.begin(), nav.end());
    Bytes video = VideoPack(std::nullopt, PictureStart());
    media.insert(media.end(), video.begin(), video.end());
  }
  Result r = Build(media, ".vob");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  std::vector<MpegEntry> expected = {{0, 0, 1}, {2, 1, 3}, {6, 2, 7}, {8, 3, 9}, {10, 4, 11}};
  EXPECT_EQ(MpegEntries(r.index), expected);
}

TEST(SeekIndexDvdTest, TimesRoundToTheNearestSecondAndLongForwardJumpsAreSpliced) {
  Bytes media = Concat({NavPack(0, 0, 0), NavPack(45000, 0, 0), NavPack(134999, 0, 0),
                        NavPack(100 * 90000, 0, 0), NavPack(101 * 90000 + 44999, 0, 0)});
  Result r = Build(media, ".VOB");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  EXPECT_EQ(Times(MpegEntries(r.index)), (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST(SeekIndexDvdTest, UnitEndPastTheFileEndsTheIndexWithoutWrapping) {
  Bytes media = Concat({NavPack(0, 0xFFFFFFFF, 0xFFFFFFF0), NavPack(90000, 0, 0)});
  Result r = Build(media, ".ts");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  ASSERT_EQ(MpegEntries(r.index).size(), 1u);
  EXPECT_EQ(MpegEntries(r.index)[0], (MpegEntry{0, 0, 0xFFFFFFF0}));
}

TEST(SeekIndexDvdTest, BrokenUnitChainFallsBackToGopHeadersAndLeavesNoDvdEntries) {
  // Four navigation units, then a unit whose navigation pack is missing: the navigation
  // index fails after writing entries, and the GOP index must replace all of them.
  Bytes media;
  for (uint32_t i = 0; i < 4; ++i) {
    media = Concat({media, NavPack(i * 90000, 1, 1), VideoPack(std::nullopt, PictureStart())});
  }
  media = Concat({media, VideoPack(std::nullopt, PictureStart()), Gop(900000, 0, 0, 0)});
  Result r = Build(media, ".m2ts");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  std::vector<MpegEntry> expected = {{9, 0, 10}};
  EXPECT_EQ(MpegEntries(r.index), expected);
}

TEST(SeekIndexDvdTest, NavigationPacksCountOnlyForDvdExtensions) {
  Bytes media = Concat({NavPack(0, 1, 1), Gop(5 * 90000, 0, 0, 0), NavPack(90000, 1, 1),
                        Gop(6 * 90000, 0, 0, 1), NavPack(2 * 90000, 1, 1)});
  std::vector<MpegEntry> nav = {{0, 0, 1}, {2, 1, 3}, {4, 2, 5}};
  EXPECT_EQ(MpegEntries(Build(media, ".vob").index), nav);
  std::vector<MpegEntry> gop = {{1, 0, 3}, {3, 1, 5}};
  EXPECT_EQ(MpegEntries(Build(media, ".mpg").index), gop);
}

// ---- GOP headers ----

TEST(SeekIndexGopTest, PresentationTimesGiveEntriesEndingAtTheNextPictureOrGop) {
  Bytes audio = Pack({0x00, 0x00, 0x01, 0xC0, 0x07, 0xEC});
  Bytes picture = VideoPack(std::nullopt, PictureStart());
  Bytes media =
      Concat({Gop(0, 0, 0, 0), picture, picture, Gop(90000, 0, 0, 0), audio, Gop(180000, 0, 0, 0)});
  Result r = Build(media, ".mpg");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  std::vector<MpegEntry> expected = {{0, 0, 1}, {3, 1, 5}, {5, 2, 6}};
  EXPECT_EQ(MpegEntries(r.index), expected);
}

TEST(SeekIndexGopTest, TimeCodesAreUsedWhenTheFirstGopHasNoPresentationTime) {
  Bytes media =
      Concat({Gop(std::nullopt, 0, 0, 10), Gop(std::nullopt, 0, 0, 11), Gop(std::nullopt, 0, 1, 5),
              Gop(std::nullopt, 1, 2, 3), Gop(std::nullopt, 1, 2, 3)});
  Result r = Build(media, ".mpeg");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  std::vector<MpegEntry> expected = {{0, 0, 1}, {1, 1, 2}, {2, 55, 3}, {3, 56, 4}};
  EXPECT_EQ(MpegEntries(r.index), expected);
}

TEST(SeekIndexGopTest, LaterGopWithoutPresentationTimeRebuildsFromTimeCodes) {
  Bytes media = Concat({Gop(0, 0, 0, 5), Gop(std::nullopt, 0, 0, 7), Gop(900000, 0, 0, 9)});
  Result r = Build(media, ".mpg");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  EXPECT_EQ(Times(MpegEntries(r.index)), (std::vector<uint32_t>{0, 2, 4}));
}

TEST(SeekIndexGopTest, SystemHeadersAndMpeg1PacksAreUnderstood) {
  // MPEG-1 pack header (12 bytes), a system header, then an MPEG-1 video packet.
  Bytes mpeg1 = {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80,
                 0x1B, 0x91, 0x00, 0x00, 0x01, 0xBB, 0x00, 0x03, 0x80, 0x1B,
                 0x91, 0x00, 0x00, 0x01, 0xE0, 0x07, 0xEC, 0x0F, 0xFF, 0xFF};
  Bytes gop = GopHeader(0, 0, 3);
  mpeg1.insert(mpeg1.end(), gop.begin(), gop.end());
  mpeg1.resize(kSector, 0xFF);
  Bytes later = mpeg1;
  Bytes gop4 = GopHeader(0, 0, 4);
  std::copy(gop4.begin(), gop4.end(), later.begin() + 30);
  Result r = Build(Concat({mpeg1, later}), ".mpg");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  std::vector<MpegEntry> expected = {{0, 0, 1}, {1, 1, 2}};
  EXPECT_EQ(MpegEntries(r.index), expected);
}

TEST(SeekIndexGopTest, TimeCodeCutByTheSectorEndGivesNoEntryButClosesTheOpenOne) {
  Bytes cut = VideoPack(std::nullopt, {});
  std::copy_n(GopHeader(0, 0, 9).begin(), 6, cut.end() - 6);
  Bytes media = Concat({Gop(std::nullopt, 0, 0, 1), cut, Gop(std::nullopt, 0, 0, 2)});
  Result r = Build(media, ".mpg");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  std::vector<MpegEntry> expected = {{0, 0, 1}, {2, 1, 3}};
  EXPECT_EQ(MpegEntries(r.index), expected);
}

TEST(SeekIndexGopTest, FilesWithoutGopsGetNoIndex) {
  QuietLog quiet;
  Bytes media = Concat({VideoPack(0, PictureStart()), VideoPack(0, PictureStart())});
  EXPECT_EQ(Build(media, ".mpg").status, BuildStatus::kFailed);
  EXPECT_EQ(Build({}, ".mpg").status, BuildStatus::kFailed);
}

// ---- AVI ----

void Chunk(Bytes& b, const char* id, const Bytes& data) {
  Append(b, id);
  size_t at = b.size();
  b.resize(at + 4);
  PutLe32(b, at, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  if (data.size() & 1) b.push_back(0);
}

Bytes List(const char* type, const Bytes& chunks) {
  Bytes data;
  Append(data, type);
  data.insert(data.end(), chunks.begin(), chunks.end());
  return data;
}

Bytes IndexEntry(const char* id, uint32_t flags, uint32_t offset, uint32_t size) {
  Bytes e(16);
  std::memcpy(e.data(), id, 4);
  PutLe32(e, 4, flags);
  PutLe32(e, 8, offset);
  PutLe32(e, 12, size);
  return e;
}

// A small AVI: header list with a main header and a video stream list, a movie list and
// an index of `entries`.
Bytes Avi(uint32_t totalFrames, const Bytes& index, bool withIndex = true) {
  Bytes avih(56, 0);
  PutLe32(avih, 16, totalFrames);
  Bytes strh(56, 0);
  std::memcpy(strh.data(), "vids", 4);
  Bytes strl;
  Chunk(strl, "strh", strh);
  Chunk(strl, "strf", Bytes(40, 0));
  Bytes hdrl;
  Chunk(hdrl, "avih", avih);
  Chunk(hdrl, "LIST", List("strl", strl));
  Bytes movi;
  Chunk(movi, "00dc", Bytes(11, 1));
  Chunk(movi, "01wb", Bytes(4, 2));
  Bytes body;
  Append(body, "AVI ");
  Chunk(body, "LIST", List("hdrl", hdrl));
  Chunk(body, "JUNK", Bytes(7, 0));
  Chunk(body, "LIST", List("movi", movi));
  if (withIndex) Chunk(body, "idx1", index);
  Bytes riff;
  Chunk(riff, "RIFF", body);
  return riff;
}

TEST(SeekIndexAviTest, VideoEntriesOfStreamZeroAreCopiedInFileOrder) {
  Bytes index = Concat({IndexEntry("00dc", 0x10, 4, 11), IndexEntry("01wb", 0, 24, 4),
                        IndexEntry("00db", 0, 36, 8), IndexEntry("01dc", 0, 50, 8),
                        IndexEntry("00dc", 0, 66, 9)});
  Result r = Build(Avi(3, index), ".AVI");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  Bytes expected;
  Append(expected, "hidx");
  expected.resize(8);
  PutLe32(expected, 4, 3);
  expected = Concat({expected, IndexEntry("00dc", 0x10, 4, 11), IndexEntry("00db", 0, 36, 8),
                     IndexEntry("00dc", 0, 66, 9)});
  EXPECT_EQ(r.index, expected);
}

TEST(SeekIndexAviTest, IndexesLargerThanOneReadBlockKeepEveryEntry) {
  Bytes index;
  for (uint32_t i = 0; i < 6000; ++i) {
    Bytes entry = IndexEntry(i % 3 == 2 ? "01wb" : "00dc", 0, i * 100, 90);
    index.insert(index.end(), entry.begin(), entry.end());
  }
  Result r = Build(Avi(6000, index), ".avi");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  ASSERT_EQ(r.index.size(), 8 + 4000 * 16u);
  EXPECT_EQ(Le32(r.index, 4), 4000u);
  // The last copied entry is the 5999th of the file (entry 5998, offset 599800).
  EXPECT_EQ(Le32(r.index, r.index.size() - 8), 599800u);
}

TEST(SeekIndexAviTest, MissingIndexNoFramesOrNoVideoEntriesGiveNoIndex) {
  Bytes video = IndexEntry("00dc", 0x10, 4, 11);
  EXPECT_EQ(Build(Avi(3, video, false), ".avi").status, BuildStatus::kFailed);
  EXPECT_EQ(Build(Avi(0, video), ".avi").status, BuildStatus::kFailed);
  EXPECT_EQ(Build(Avi(3, IndexEntry("01wb", 0, 24, 4)), ".avi").status, BuildStatus::kFailed);
  Bytes notAvi = Avi(3, video);
  std::memcpy(notAvi.data() + 8, "WAVE", 4);
  EXPECT_EQ(Build(notAvi, ".avi").status, BuildStatus::kFailed);
}

TEST(SeekIndexAviTest, HugeHeaderListIsRefusedWithoutReadingIt) {
  Bytes avi = Avi(3, IndexEntry("00dc", 0x10, 4, 11));
  PutLe32(avi, 16, 0xFFFFFFF0);
  EXPECT_EQ(Build(avi, ".avi").status, BuildStatus::kFailed);
}

TEST(SeekIndexAviTest, CutIndexKeepsItsWholeEntries) {
  Bytes avi = Avi(3, Concat({IndexEntry("00dc", 0, 4, 11), IndexEntry("00dc", 0, 24, 11),
                             IndexEntry("00dc", 0, 44, 11)}));
  avi.resize(avi.size() - 10);
  Result r = Build(avi, ".avi");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  EXPECT_EQ(Le32(r.index, 4), 2u);
  EXPECT_EQ(r.index.size(), 8 + 2 * 16u);
}

// ---- Robustness ----

// Every prefix and many damaged copies of valid inputs: nothing may crash or read outside
// its buffers (the sanitizer build checks that), and a kept index is well-formed.
void ExpectWellFormed(const Result& r, const std::string& extension) {
  if (r.status != BuildStatus::kOk) return;
  ASSERT_GT(r.index.size(), 8u);
  ASSERT_EQ(std::string(r.index.begin(), r.index.begin() + 4), "hidx");
  if (extension == ".avi") {
    EXPECT_EQ(r.index.size(), 8 + 16 * size_t{Le32(r.index, 4)});
  } else {
    EXPECT_EQ((r.index.size() - 4) % 12, 0u);
  }
}

TEST(SeekIndexRobustnessTest, TruncatedAndDamagedInputsAreHandled) {
  QuietLog quiet;
  std::vector<std::pair<Bytes, std::string>> inputs = {
      {Avi(3, Concat({IndexEntry("00dc", 0, 4, 11), IndexEntry("00db", 0, 36, 8)})), ".avi"},
      {Concat({NavPack(0, 1, 1), Gop(0, 0, 0, 0), NavPack(90000, 1, 1), Gop(90000, 0, 0, 1)}),
       ".vob"},
      {Concat({Gop(0, 0, 0, 0), VideoPack(std::nullopt, PictureStart()), Gop(90000, 0, 0, 1)}),
       ".mpg"},
  };
  std::mt19937 random(1234);
  for (const auto& [media, extension] : inputs) {
    for (size_t length = 0; length <= media.size(); length += 61) {
      Bytes cut(media.begin(), media.begin() + static_cast<long>(length));
      ExpectWellFormed(Build(cut, extension), extension);
    }
    for (int round = 0; round < 300; ++round) {
      Bytes damaged = media;
      for (int flips = 0; flips < 8; ++flips) {
        damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
      }
      ExpectWellFormed(Build(damaged, extension), extension);
    }
  }
}

TEST(SeekIndexRobustnessTest, RandomBytesGetNoIndex) {
  QuietLog quiet;
  std::mt19937 random(99);
  for (const char* extension : {".avi", ".vob", ".mpg", ".ts"}) {
    for (int round = 0; round < 100; ++round) {
      Bytes media(random() % 20000);
      for (auto& b : media) b = static_cast<uint8_t>(random());
      EXPECT_EQ(Build(media, extension).status, BuildStatus::kFailed) << extension;
    }
  }
}

TEST(SeekIndexRobustnessTest, StopRequestEndsEveryMethod) {
  Bytes avi = Avi(3, IndexEntry("00dc", 0x10, 4, 11));
  EXPECT_EQ(Build(avi, ".avi", true).status, BuildStatus::kStopped);
  Bytes nav = Concat({NavPack(0, 0, 0), NavPack(90000, 0, 0)});
  EXPECT_EQ(Build(nav, ".vob", true).status, BuildStatus::kStopped);
  Bytes gop = Concat({Gop(0, 0, 0, 0), Gop(90000, 0, 0, 1)});
  EXPECT_EQ(Build(gop, ".mpg", true).status, BuildStatus::kStopped);
}

}  // namespace
