#include "media/wm_tag.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "media/media_fixtures.h"
#include "platform/text.h"

namespace {

using media_test::ReadFileBytes;
using media_test::RunFfmpeg;
using media_test::TempDir;
using media_test::WriteFileBytes;

const std::vector<std::string> kVideo = {"-f", "lavfi", "-i",
                                         "testsrc=size=64x48:rate=10:duration=2"};
const std::vector<std::string> kAudio = {"-f", "lavfi", "-i", "sine=frequency=440:duration=2.5"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::string> Tags(const std::string& prefix) {
  return {"-metadata", "title=" + prefix + "Title",
          "-metadata", "album=" + prefix + "Album",
          "-metadata", "artist=" + prefix + "Artist",
          "-metadata", "genre=" + prefix + "Genre",
          "-metadata", "track=4"};
}

// ffmpeg arguments (before the output name) of every fixture, by file name.
const std::map<std::string, std::vector<std::string>>& FixtureArgs() {
  static const std::map<std::string, std::vector<std::string>> args = {
      {"tagged.mp3",
       {"-f", "lavfi", "-i", "sine=frequency=440:duration=3.5", "-c:a", "libmp3lame", "-b:a",
        "128k", "-metadata", "title=Say \"Hello\" Again", "-metadata", "album=Mp3Album",
        "-metadata", "artist=Mp3Artist", "-metadata", "genre=Mp3Genre", "-metadata", "track=7/12"}},
      {"untagged.mp3", Join(kAudio, {"-c:a", "libmp3lame", "-map_metadata", "-1", "-fflags",
                                     "+bitexact", "-id3v2_version", "0"})},
      {"tagged.flac",
       Join({"-f", "lavfi", "-i", "sine=duration=3.9", "-c:a", "flac"}, Tags("Flac"))},
      {"tagged.ogg", Join(Join(kAudio, {"-c:a", "libvorbis"}), Tags("Ogg"))},
      {"tagged.m4a", Join(Join(kAudio, {"-c:a", "aac"}), Tags("M4a"))},
      {"tagged.wav", Join(Join(kAudio, {"-c:a", "pcm_s16le"}), Tags("Wav"))},
      {"tagged.wma", Join(Join(kAudio, {"-c:a", "wmav2", "-f", "asf"}), Tags("Wma"))},
      {"xvid.avi", Join(kVideo, {"-c:v", "mpeg4", "-vtag", "XVID"})},
      {"div4.avi", Join(kVideo, {"-c:v", "msmpeg4", "-vtag", "div4"})},
      {"dx50.avi", Join(kVideo, {"-c:v", "mpeg4", "-vtag", "DX50"})},
      {"mjpg.avi", Join(Join(kVideo, {"-c:v", "mjpeg", "-vtag", "MJPG"}), Tags("Avi"))},
      {"tagged.mkv", Join(Join(kVideo, {"-c:v", "mpeg4"}), Tags("Mkv"))},
      {"video.mp4", Join(Join(kVideo, {"-c:v", "mpeg4"}), {"-metadata", "title=Mp4Title"})},
      {"video.ts",
       Join(Join(kVideo, kAudio), {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts"})},
      {"video.mpg", Join(Join(kVideo, kAudio), {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"})},
      {"plain.wmv", Join(kVideo, {"-c:v", "wmv2", "-f", "asf"})},
  };
  return args;
}

// Makes fixture `name` once per test process and returns its path.
std::string Fixture(const std::string& name) {
  static TempDir dir;
  static std::mutex mutex;
  static std::map<std::string, bool> made;
  std::lock_guard lock(mutex);
  std::string path = dir.File(name);
  if (!made.count(name)) {
    auto args = FixtureArgs().find(name);
    made[name] = args != FixtureArgs().end() && RunFfmpeg(Join(args->second, {path}));
  }
  EXPECT_TRUE(made[name]) << "ffmpeg could not make " << name;
  return path;
}

// A copy of fixture `name` in `dir` that a test may change.
std::string CopyOf(const TempDir& dir, const std::string& name, const std::string& as) {
  std::string path = dir.File(as);
  EXPECT_TRUE(WriteFileBytes(path, ReadFileBytes(Fixture(name))));
  return path;
}

// Rewrites the codec list of an ASF file made by ffmpeg so that it holds one video entry
// with the given name and description, as a file of another encoder would.
std::vector<uint8_t> WithCodecEntry(std::vector<uint8_t> file, const std::u16string& name,
                                    const std::u16string& description) {
  using media_test::GetLe64;
  uint64_t headerSize = GetLe64(file.data() + 16);
  size_t pos = 30;
  while (pos + 24 <= headerSize &&
         std::memcmp(file.data() + pos, media_test::kAsfCodecListGuid, 16) != 0) {
    pos += static_cast<size_t>(GetLe64(file.data() + pos + 16));
  }
  EXPECT_LT(pos + 24, headerSize) << "no codec list in the ffmpeg output";
  if (pos + 24 >= headerSize) return file;
  uint64_t oldSize = GetLe64(file.data() + pos + 16);
  std::vector<uint8_t> object = media_test::AsfObject(
      media_test::kAsfCodecListGuid, media_test::AsfCodecListBody({{1, name, description}}));
  std::vector<uint8_t> out(file.begin(), file.begin() + static_cast<long>(pos)), size;
  out.insert(out.end(), object.begin(), object.end());
  out.insert(out.end(), file.begin() + static_cast<long>(pos + oldSize), file.end());
  media_test::PutLe(&size, headerSize - oldSize + object.size(), 8);
  std::copy(size.begin(), size.end(), out.begin() + 16);
  return out;
}

bool IsEmpty(const WMTagBlock& block) {
  return block.Title.empty() && block.Album.empty() && block.Author.empty() &&
         block.Genre.empty() && block.DurationText.empty() && block.BitrateText.empty() &&
         block.TrackText.empty() && block.Duration == 0 && block.Bitrate == 0 && block.TrackNo == 0;
}

// ---- Reading ----

TEST(WMTagRead, Mp3TagsNumbersQuotesAndDurationText) {
  WMTagBlock block;
  WMTag_Read(Fixture("tagged.mp3"), &block);
  EXPECT_EQ(block.Title, "Say  Hello  Again");
  EXPECT_EQ(block.Author, "Mp3Artist");
  EXPECT_EQ(block.TrackNo, 7);
  EXPECT_EQ(block.TrackText, "7");
  EXPECT_EQ(block.Bitrate, 128000);
  EXPECT_EQ(block.BitrateText, "128000");
  // The text counts 100-nanosecond units; the whole seconds are rounded down.
  EXPECT_EQ(block.Duration, 3);
  EXPECT_EQ(block.DurationText.substr(0, block.DurationText.size() - 7), "3");
  WMTag_Read(Fixture("tagged.flac"), &block);
  EXPECT_EQ(block.Duration, 3);  // 3.9 s
  EXPECT_EQ(block.DurationText, "39000000");
}

TEST(WMTagRead, AudioFormatsGiveTheirTags) {
  for (const char* prefix : {"Flac", "Ogg", "M4a", "Wav", "Wma"}) {
    std::string name = "tagged." + platform::AsciiLower(prefix);
    SCOPED_TRACE(name);
    WMTagBlock block;
    WMTag_Read(Fixture(name), &block);
    EXPECT_EQ(block.Title, std::string(prefix) + "Title");
    EXPECT_EQ(block.Album, std::string(prefix) + "Album");
    EXPECT_EQ(block.Author, std::string(prefix) + "Artist");
    EXPECT_EQ(block.Genre, std::string(prefix) + "Genre");
    EXPECT_EQ(block.TrackNo, 4);
    EXPECT_GE(block.Duration, 2);
    EXPECT_LE(block.Duration, 3);
    EXPECT_GT(block.Bitrate, 0);
    EXPECT_EQ(block.Flags, 0u);
  }
}

TEST(WMTagRead, VideoContainersGiveDurationBitRateAndTheTitlesFfmpegReads) {
  for (const auto& [name, title] :
       std::vector<std::pair<std::string, std::string>>{{"xvid.avi", ""},
                                                        {"mjpg.avi", "AviTitle"},
                                                        {"tagged.mkv", "MkvTitle"},
                                                        {"video.mp4", "Mp4Title"},
                                                        {"video.ts", ""},
                                                        {"video.mpg", ""},
                                                        {"plain.wmv", ""}}) {
    SCOPED_TRACE(name);
    WMTagBlock block;
    WMTag_Read(Fixture(name), &block);
    EXPECT_EQ(block.Title, title);
    EXPECT_EQ(block.Duration, 2);
    EXPECT_GT(block.Bitrate, 0);
    EXPECT_EQ(std::to_string(block.Bitrate), block.BitrateText);
  }
}

// The demuxer is chosen by the extension first; a file named for another format must still
// be read for what it is.
TEST(WMTagRead, FilesNamedForAnotherFormatAreReadForWhatTheyAre) {
  TempDir dir;
  for (const auto& [fixture, as, title] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"tagged.mkv", "film.mp4", "MkvTitle"},
           {"video.mp4", "film.wmv", "Mp4Title"},
           {"tagged.m4a", "song.mp3", "M4aTitle"},
           {"tagged.ogg", "song.flac", "OggTitle"}}) {
    SCOPED_TRACE(as);
    WMTagBlock block;
    WMTag_Read(CopyOf(dir, fixture, as), &block);
    EXPECT_EQ(block.Title, title);
    EXPECT_EQ(block.Duration, 2);
    EXPECT_GT(block.Bitrate, 0);
  }
}

TEST(WMTagRead, Id3v1TextIsDecodedAsLatin1) {
  TempDir dir;
  std::string path = CopyOf(dir, "untagged.mp3", "v1.mp3");
  std::vector<uint8_t> file = ReadFileBytes(path);
  std::vector<uint8_t> tag(128, 0);
  std::memcpy(tag.data(), "TAG", 3);
  std::memcpy(tag.data() + 3, "Caf\xE9", 4);
  tag[127] = 255;  // no genre
  file.insert(file.end(), tag.begin(), tag.end());
  ASSERT_TRUE(WriteFileBytes(path, file));
  WMTagBlock block;
  WMTag_Read(path, &block);
  EXPECT_EQ(block.Title, "Caf\xC3\xA9");
  EXPECT_TRUE(platform::IsValidUtf8(block.Title));
}

// ---- The flag word ----

TEST(WMTagFlags, AviFilesOutsideTheDivxFamilyAreMarkedWhenNamedAvi) {
  TempDir dir;
  struct Case {
    const char* fixture;
    const char* as;
    uint32_t flags;
  };
  for (const Case& c : {Case{"xvid.avi", "xvid.avi", 0}, Case{"div4.avi", "div4.avi", 0},
                        Case{"dx50.avi", "dx50.avi", 0x80}, Case{"mjpg.avi", "CLIP.AVI", 0x80},
                        Case{"mjpg.avi", "clip.bin", 0}}) {
    SCOPED_TRACE(c.as);
    WMTagBlock block;
    WMTag_Read(CopyOf(dir, c.fixture, c.as), &block);
    EXPECT_EQ(block.Flags, c.flags);
  }
}

TEST(WMTagFlags, ProfessionalWmv3IsMarkedOnlyInWmvFiles) {
  TempDir dir;
  std::vector<uint8_t> plain = ReadFileBytes(Fixture("plain.wmv"));
  WMTagBlock block;
  WMTag_Read(Fixture("plain.wmv"), &block);
  EXPECT_EQ(block.Flags, 0u);

  std::string pro = dir.File("pro.WMV");
  ASSERT_TRUE(WriteFileBytes(pro, WithCodecEntry(plain, u"WMV3", u"Professional")));
  WMTag_Read(pro, &block);
  EXPECT_EQ(block.Flags, 0x100u);
  EXPECT_EQ(block.Duration, 2) << "the rewritten header must still open";

  std::string asf = dir.File("pro.asf");
  ASSERT_TRUE(WriteFileBytes(asf, WithCodecEntry(plain, u"WMV3", u"Professional")));
  WMTag_Read(asf, &block);
  EXPECT_EQ(block.Flags, 0u);
}

// ---- Files that cannot be read ----

TEST(WMTagRead, MissingFilesAndDirectoriesGiveAnEmptyBlock) {
  TempDir dir;
  media_test::LogCapture log;
  WMTagBlock block;
  block.Title = "stale";
  block.Flags = 7;
  WMTag_Read(dir.File("missing.mp3"), &block);
  EXPECT_TRUE(IsEmpty(block));
  EXPECT_EQ(block.Flags, 0u);
  WMTag_Read(dir.path(), &block);
  EXPECT_TRUE(IsEmpty(block));
  std::string fifo = dir.File("pipe.avi");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  WMTag_Read(fifo, &block);
  EXPECT_TRUE(IsEmpty(block));
}

TEST(WMTagRead, RandomOrTruncatedFilesGiveNoTagsAndNoCrash) {
  TempDir dir;
  media_test::LogCapture log;
  std::vector<uint8_t> noise(256 * 1024);
  uint32_t state = 12345;
  for (uint8_t& byte : noise) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  for (const std::string name : {"a.mp3", "a.avi", "a.wmv", "a.flac", "a.m4a", "a.ogg", "a.mkv",
                                 "a.wma", "a.mpg", "a.wav"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(WriteFileBytes(dir.File(name), noise));
    WMTagBlock block;
    WMTag_Read(dir.File(name), &block);
    EXPECT_TRUE(IsEmpty(block));
    EXPECT_EQ(block.Flags, 0u);
  }
  // One file of each container family, cut at the start, in the headers and near the end.
  for (const std::string name :
       {"tagged.mp3", "tagged.flac", "tagged.ogg", "tagged.m4a", "tagged.wma", "tagged.wav",
        "mjpg.avi", "tagged.mkv", "video.ts"}) {
    std::vector<uint8_t> whole = ReadFileBytes(Fixture(name));
    for (size_t length :
         {size_t{0}, size_t{4}, size_t{16}, size_t{100}, whole.size() / 3, whole.size() - 1}) {
      SCOPED_TRACE(name + " cut at " + std::to_string(length));
      std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(length));
      ASSERT_TRUE(WriteFileBytes(dir.File("cut-" + name), cut));
      WMTagBlock block;
      WMTag_Read(dir.File("cut-" + name), &block);
      EXPECT_TRUE(length > 16 || IsEmpty(block));
      EXPECT_TRUE(platform::IsValidUtf8(block.Title));
    }
  }
}

TEST(WMTagRead, ConcurrentReadsAgree) {
  std::vector<std::string> names = {"tagged.mp3", "tagged.flac", "tagged.mkv", "mjpg.avi"};
  std::vector<WMTagBlock> expected(names.size());
  for (size_t i = 0; i < names.size(); ++i) WMTag_Read(Fixture(names[i]), &expected[i]);
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        for (size_t i = 0; i < names.size(); ++i) {
          WMTagBlock block;
          WMTag_Read(Fixture(names[i]), &block);
          if (block.Title != expected[i].Title || block.Duration != expected[i].Duration ||
              block.Flags != expected[i].Flags) {
            ++mismatches[t];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int count : mismatches) EXPECT_EQ(count, 0);
}

// ---- Writing ----

TEST(WMTagWrite, RoundTripsNonAsciiTextInEveryWritableFormat) {
  TempDir dir;
  const std::string title =
      "\xC3\x9C"
      "ber \xE6\x97\xA5\xE6\x9C\xAC \xE2\x9C\x93";  // Über 日本 ✓
  for (const char* name :
       {"tagged.mp3", "tagged.flac", "tagged.ogg", "tagged.m4a", "tagged.wma", "tagged.wav"}) {
    SCOPED_TRACE(name);
    std::string path = CopyOf(dir, name, std::string("w-") + name);
    WMTagBlock block;
    block.Title = title;
    block.Album = "Alb\xC3\xB8m";
    block.Author = "K\xC3\xBCnstler";
    block.Genre = "G\xC3\xA9nre";
    block.FileType = "Audio";
    ASSERT_TRUE(WMTag_Write(path, block));
    WMTagBlock read;
    WMTag_Read(path, &read);
    EXPECT_EQ(read.Title, title);
    EXPECT_EQ(read.Album, block.Album);
    EXPECT_EQ(read.Author, block.Author);
    EXPECT_EQ(read.Genre, block.Genre);
    EXPECT_GE(read.Duration, 2) << "the audio must survive the write";
  }
}

TEST(WMTagWrite, MissingTagsAreAddedOnlyForAudioButExistingOnesChangeForAnyKind) {
  TempDir dir;
  WMTagBlock block;
  block.Title = "T", block.Album = "A", block.Author = "R", block.Genre = "G";
  struct Case {
    const char* fixture;
    const char* kind;
    const char* album;
  };
  for (const Case& c : {Case{"untagged.mp3", "Video", ""}, Case{"untagged.mp3", "Audio", "A"},
                        Case{"tagged.wma", "Video", "A"}}) {
    SCOPED_TRACE(std::string(c.fixture) + " as " + c.kind);
    std::string path = CopyOf(dir, c.fixture, std::string(c.kind) + "-" + c.fixture);
    block.FileType = c.kind;
    ASSERT_TRUE(WMTag_Write(path, block));
    WMTagBlock read;
    WMTag_Read(path, &read);
    EXPECT_EQ(read.Title, "T");
    EXPECT_EQ(read.Album, c.album);
    EXPECT_EQ(read.Author, *c.album ? "R" : "");
    EXPECT_EQ(read.Genre, *c.album ? "G" : "");
  }
  WMTagBlock wma;
  WMTag_Read(dir.File("Video-tagged.wma"), &wma);
  EXPECT_EQ(wma.TrackNo, 4) << "fields that are not written are kept";
}

TEST(WMTagWrite, UnwritableFilesAreReportedAndLeftAlone) {
  TempDir dir;
  media_test::LogCapture log;
  WMTagBlock block;
  block.Title = "X";
  block.FileType = "Audio";
  for (const char* name : {"tagged.mkv", "xvid.avi"}) {
    SCOPED_TRACE(name);
    std::string path = CopyOf(dir, name, std::string("u-") + name);
    std::vector<uint8_t> before = ReadFileBytes(path);
    EXPECT_FALSE(WMTag_Write(path, block));
    EXPECT_EQ(ReadFileBytes(path), before);
  }
  EXPECT_FALSE(WMTag_Write(dir.File("missing.mp3"), block));
  EXPECT_FALSE(media_test::FileExists(dir.File("missing.mp3")));
}

TEST(WMTagWrite, LongTitlesAreReadBackCutAtACharacterBoundary) {
  TempDir dir;
  std::string path = CopyOf(dir, "untagged.mp3", "long.mp3");
  WMTagBlock block;
  for (int i = 0; i < 700; ++i) block.Title += "\xC3\xA9";  // 1,400 bytes
  block.Title += "\"";
  ASSERT_TRUE(WMTag_Write(path, block));
  WMTagBlock read;
  WMTag_Read(path, &read);
  EXPECT_EQ(read.Title.size(), 1022u);
  EXPECT_TRUE(platform::IsValidUtf8(read.Title));
  EXPECT_EQ(read.Title.find('"'), std::string::npos);
}

}  // namespace
