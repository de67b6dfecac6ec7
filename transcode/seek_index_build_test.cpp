#include "transcode/seek_index_build.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/test_support.h"
#include "platform/unique_fd.h"
#include "transcode/testing/seek_index_test_support.h"

namespace {

using seek_index::BuildIndexFile;
using seek_index::BuildStatus;
using namespace seek_index_test;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

// An MPEG-2 pack header of 14 bytes, then `content`, padded with 0xFF to a whole sector.
Bytes Pack(const Bytes& content) {
  Bytes s =
      Concat({{0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8},
              content});
  s.resize(kSector, 0xFF);
  return s;
}

// A navigation pack: system header to byte 38, then the private-stream-2 packets whose
// fields sit at 57 (start time), 1039 (unit end) and 1043 (first reference end).
Bytes NavPack(uint32_t startPtm, uint32_t unitEnd, uint32_t firstRefEnd) {
  Bytes content = {0x00, 0x00, 0x01, 0xBB, 0x00, 0x12};
  content.resize(24, 0x00);
  Bytes s = Pack(Concat({content, {0x00, 0x00, 0x01, 0xBF, 0x03, 0xD4}}));
  std::fill(s.begin() + 44, s.end(), 0x00);
  PutBe32(s, 57, startPtm);
  PutBe32(s, 1039, unitEnd);
  PutBe32(s, 1043, firstRefEnd);
  return s;
}

Bytes GopHeader(int hours, int minutes, int seconds) {
  Bytes b = {0x00, 0x00, 0x01, 0xB8, 0, 0, 0, 0};
  PutBe32(b, 4,
          uint32_t(hours) << 26 | uint32_t(minutes) << 20 | 1u << 19 | uint32_t(seconds) << 13);
  return b;
}

const Bytes kPictureStart = {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F};

// A pack opening with an MPEG-2 video packet, with a PTS when given, carrying `payload`.
Bytes VideoPack(std::optional<uint64_t> pts, const Bytes& payload) {
  Bytes p = {0x00, 0x00, 0x01, 0xE0, 0x07, 0xEC, 0x81, 0x00, 0x00};
  if (pts) {
    uint64_t v = *pts;
    p.back() = 0x05, p[p.size() - 2] = 0x80;
    p.insert(p.end(),
             {static_cast<uint8_t>(0x21 | ((v >> 29) & 0x0E)), static_cast<uint8_t>(v >> 22),
              static_cast<uint8_t>(0x01 | ((v >> 14) & 0xFE)), static_cast<uint8_t>(v >> 7),
              static_cast<uint8_t>(0x01 | ((v << 1) & 0xFE))});
  }
  return Pack(Concat({p, payload}));
}

Bytes Picture() { return VideoPack(std::nullopt, kPictureStart); }
Bytes Gop(std::optional<uint64_t> pts, int h, int m, int s) {
  return VideoPack(pts, Concat({GopHeader(h, m, s), kPictureStart}));
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
  platform::UniqueFd in = MemFile(media), out = MemFile({});
  std::atomic<bool> stopFlag{stop};
  Result r{BuildIndexFile(in.Get(), extension, out.Get(), stopFlag), {}};
  off_t size = ::lseek(out.Get(), 0, SEEK_END);
  r.index.resize(static_cast<size_t>(size));
  if (size > 0) {
    EXPECT_EQ(::pread(out.Get(), r.index.data(), r.index.size(), 0), size);
  }
  return r;
}

TEST(SeekIndexLayoutTest, OnlyPacksOfOneSectorStartingInTheFirstRawSectorAreAccepted) {
  platform::testing::LogCapture quiet;
  auto layout = [](size_t first, size_t distance) {
    Bytes b(4704, 0);
    b[first + 2] = 1, b[first + 3] = 0xBA;
    b[first + distance + 2] = 1, b[first + distance + 3] = 0xBA;
    return seek_index::HasSectorPackLayout(b.data(), b.size());
  };
  EXPECT_TRUE(layout(0, 2048));
  EXPECT_TRUE(layout(2351, 2048));
  EXPECT_FALSE(layout(2352, 2048));
  EXPECT_FALSE(layout(0, 2352));
  Bytes cut = {0x00, 0x00, 0x01, 0xBA};
  EXPECT_FALSE(seek_index::HasSectorPackLayout(cut.data(), cut.size()));
}

// DVD navigation packs (times round to seconds, repeats are skipped, jumps continue one
// second on, a broken unit chain falls back to GOP headers), and GOP headers by
// presentation time or, when any GOP lacks one, by time code.
TEST(SeekIndexMpegTest, EntriesComeFromNavigationPacksOrGopHeaders) {
  auto navs = [](std::vector<uint32_t> seconds, uint32_t unitEnd, bool pictures) {
    Bytes media;
    for (uint32_t s : seconds) {
      media = Concat({media, NavPack(s, unitEnd, unitEnd)});
      if (pictures) media = Concat({media, Picture()});
    }
    return media;
  };
  Bytes brokenChain = navs({0, 90000, 180000, 270000}, 1, true);
  Bytes mixed = Concat({NavPack(0, 1, 1), Gop(5 * 90000, 0, 0, 0), NavPack(90000, 1, 1),
                        Gop(6 * 90000, 0, 0, 1), NavPack(2 * 90000, 1, 1)});
  Bytes audio = Pack({0x00, 0x00, 0x01, 0xC0, 0x07, 0xEC});
  // MPEG-1 pack header (12 bytes), a system header, then an MPEG-1 video packet.
  Bytes mpeg1 = Concat(
      {{0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x91, 0x00, 0x00, 0x01,
        0xBB, 0x00, 0x03, 0x80, 0x1B, 0x91, 0x00, 0x00, 0x01, 0xE0, 0x07, 0xEC, 0x0F, 0xFF, 0xFF},
       GopHeader(0, 0, 3)});
  mpeg1.resize(kSector, 0xFF);
  Bytes mpeg1Later = mpeg1, gop4 = GopHeader(0, 0, 4);
  std::copy(gop4.begin(), gop4.end(), mpeg1Later.begin() + 30);
  Bytes cut = VideoPack(std::nullopt, {});  // a time code cut by the sector end
  std::copy_n(GopHeader(0, 0, 9).begin(), 6, cut.end() - 6);
  const uint32_t s = 90000;
  auto entries = [](const char* what, const Bytes& media, const char* extension) {
    Result r = Build(media, extension);
    EXPECT_EQ(r.status, BuildStatus::kOk) << what;
    return MpegEntries(r.index);
  };
  auto times = [&](const char* what, const Bytes& media, const char* extension) {
    std::vector<uint32_t> out;
    for (const MpegEntry& e : entries(what, media, extension)) out.push_back(e.time);
    return out;
  };
  using E = std::vector<MpegEntry>;
  using T = std::vector<uint32_t>;
  EXPECT_EQ(times("rounding", navs({0, 45000, 134999, 100 * s, 101 * s + 44999}, 0, false), ".VOB"),
            (T{0, 1, 2, 3}));
  EXPECT_EQ(times("repeat, jump", navs({10 * s, 11 * s, 11 * s, 12 * s, 5 * s}, 0, false), ".VOB"),
            (T{0, 1, 2, 3}));
  EXPECT_EQ(
      entries("repeat moves nothing", navs({10 * s, 11 * s, 11 * s, 12 * s}, 1, true), ".vob"),
      (E{{0, 0, 1}, {2, 1, 3}, {6, 2, 7}}));
  EXPECT_EQ(entries("unit end past the file",
                    Concat({NavPack(0, 0xFFFFFFFF, 0xFFFFFFF0), NavPack(s, 0, 0)}), ".ts"),
            (E{{0, 0, 0xFFFFFFF0}}));
  EXPECT_EQ(
      entries("broken chain", Concat({brokenChain, Picture(), Gop(10 * s, 0, 0, 0)}), ".m2ts"),
      (E{{9, 0, 10}}));
  EXPECT_EQ(entries("navigation on a DVD", mixed, ".vob"), (E{{0, 0, 1}, {2, 1, 3}, {4, 2, 5}}));
  EXPECT_EQ(entries("navigation elsewhere", mixed, ".mpg"), (E{{1, 0, 3}, {3, 1, 5}}));
  Bytes timed =
      Concat({Gop(0, 0, 0, 0), Picture(), Picture(), Gop(s, 0, 0, 0), audio, Gop(2 * s, 0, 0, 0)});
  EXPECT_EQ(entries("presentation times", timed, ".mpg"), (E{{0, 0, 1}, {3, 1, 5}, {5, 2, 6}}));
  Bytes coded =
      Concat({Gop(std::nullopt, 0, 0, 10), Gop(std::nullopt, 0, 0, 11), Gop(std::nullopt, 0, 1, 5),
              Gop(std::nullopt, 1, 2, 3), Gop(std::nullopt, 1, 2, 3)});
  EXPECT_EQ(entries("time codes", coded, ".mpeg"),
            (E{{0, 0, 1}, {1, 1, 2}, {2, 55, 3}, {3, 56, 4}}));
  EXPECT_EQ(
      times("one GOP without a time",
            Concat({Gop(0, 0, 0, 5), Gop(std::nullopt, 0, 0, 7), Gop(10 * s, 0, 0, 9)}), ".mpg"),
      (T{0, 2, 4}));
  EXPECT_EQ(entries("MPEG-1 with a system header", Concat({mpeg1, mpeg1Later}), ".mpg"),
            (E{{0, 0, 1}, {1, 1, 2}}));
  EXPECT_EQ(entries("time code cut by the sector end",
                    Concat({Gop(std::nullopt, 0, 0, 1), cut, Gop(std::nullopt, 0, 0, 2)}), ".mpg"),
            (E{{0, 0, 1}, {2, 1, 3}}));
}

void Chunk(Bytes& b, const char* id, const Bytes& data) {
  size_t at = b.size() + 4;
  b = Concat({b, Text(id), Bytes(4)});
  PutLe32(b, at, static_cast<uint32_t>(data.size()));
  b = Concat({b, data});
  if (data.size() & 1) b.push_back(0);
}

Bytes IndexEntry(const char* id, uint32_t flags, uint32_t offset, uint32_t size) {
  Bytes e = Concat({Text(id), Bytes(12)});
  PutLe32(e, 4, flags), PutLe32(e, 8, offset), PutLe32(e, 12, size);
  return e;
}

// A small AVI: a header list with a main header and a video stream list, a movie list
// and, when `withIndex`, an index chunk of `index`.
Bytes Avi(uint32_t totalFrames, const Bytes& index, bool withIndex = true) {
  Bytes avih(56, 0), strh = Concat({Text("vids"), Bytes(52)}), strl, hdrl, movi,
                     body = Text("AVI "), riff;
  PutLe32(avih, 16, totalFrames);
  Chunk(strl, "strh", strh);
  Chunk(strl, "strf", Bytes(40, 0));
  Chunk(hdrl, "avih", avih);
  Chunk(hdrl, "LIST", Concat({Text("strl"), strl}));
  Chunk(movi, "00dc", Bytes(11, 1));
  Chunk(movi, "01wb", Bytes(4, 2));
  Chunk(body, "LIST", Concat({Text("hdrl"), hdrl}));
  Chunk(body, "JUNK", Bytes(7, 0));
  Chunk(body, "LIST", Concat({Text("movi"), movi}));
  if (withIndex) Chunk(body, "idx1", index);
  Chunk(riff, "RIFF", body);
  return riff;
}

TEST(SeekIndexAviTest, VideoEntriesOfStreamZeroAreCopiedInFileOrderAndCutIndexesKeepWholeOnes) {
  Bytes index = Concat({IndexEntry("00dc", 0x10, 4, 11), IndexEntry("01wb", 0, 24, 4),
                        IndexEntry("00db", 0, 36, 8), IndexEntry("01dc", 0, 50, 8),
                        IndexEntry("00dc", 0, 66, 9)});
  Result r = Build(Avi(3, index), ".AVI");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  Bytes expected = Concat({Text("hidx"),
                           {3, 0, 0, 0},
                           IndexEntry("00dc", 0x10, 4, 11),
                           IndexEntry("00db", 0, 36, 8),
                           IndexEntry("00dc", 0, 66, 9)});
  EXPECT_EQ(r.index, expected);
  // A cut index keeps its whole entries.
  Bytes avi = Avi(3, index);
  avi.resize(avi.size() - 10);
  r = Build(avi, ".avi");
  ASSERT_EQ(r.status, BuildStatus::kOk);
  EXPECT_EQ(r.index.size(), 8 + 2 * 16u);
  EXPECT_EQ(Le32(r.index, 4), 2u);
}

TEST(SeekIndexRefusalTest, FilesWithoutUsableIndexOrGopsGetNone) {
  platform::testing::LogCapture quiet;
  Bytes video = IndexEntry("00dc", 0x10, 4, 11);
  Bytes notAvi = Avi(3, video), hugeHeader = Avi(3, video), noHeaderList = Avi(3, video);
  std::memcpy(notAvi.data() + 8, "WAVE", 4);
  std::memcpy(noHeaderList.data() + 20, "movi", 4);
  PutLe32(hugeHeader, 16, 0xFFFFFFF0);  // must be refused without being read
  Bytes neitherMpeg = Gop(0, 0, 0, 0);
  neitherMpeg[4] = 0x00;  // a pack header of neither MPEG-1 nor MPEG-2
  std::vector<std::pair<Bytes, const char*>> refused = {
      {Avi(3, video, false), ".avi"},
      {Avi(0, video), ".avi"},
      {Avi(3, IndexEntry("01wb", 0, 24, 4)), ".avi"},
      {notAvi, ".avi"},
      {noHeaderList, ".avi"},
      {Bytes(20, 0), ".avi"},
      {hugeHeader, ".avi"},
      {Concat({VideoPack(0, kPictureStart), VideoPack(0, kPictureStart)}), ".mpg"},
      {Concat({neitherMpeg, neitherMpeg}), ".mpg"},
      {{}, ".mpg"}};
  for (size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(Build(refused[i].first, refused[i].second).status, BuildStatus::kFailed) << i;
  }
}

TEST(SeekIndexRefusalTest, StopRequestEndsEveryMethod) {
  EXPECT_EQ(Build(Avi(3, IndexEntry("00dc", 0x10, 4, 11)), ".avi", true).status,
            BuildStatus::kStopped);
  EXPECT_EQ(Build(Concat({NavPack(0, 0, 0), NavPack(90000, 0, 0)}), ".vob", true).status,
            BuildStatus::kStopped);
  EXPECT_EQ(Build(Concat({Gop(0, 0, 0, 0), Gop(90000, 0, 0, 1)}), ".mpg", true).status,
            BuildStatus::kStopped);
}

}  // namespace
