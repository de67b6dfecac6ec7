#include "media/wm_tag.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>
#include <thread>

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

void AppendUtf16(std::vector<uint8_t>* out, const std::string& ascii) {
  out->push_back(static_cast<uint8_t>(ascii.size() + 1));
  out->push_back(0);
  for (char c : ascii) {
    out->push_back(static_cast<uint8_t>(c));
    out->push_back(0);
  }
  out->push_back(0);
  out->push_back(0);
}

void PutLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t GetLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Rewrites the codec list of an ASF file made by ffmpeg so that it holds one video entry
// with the given name and description, as a file of another encoder would.
std::vector<uint8_t> WithCodecEntry(std::vector<uint8_t> file, const std::string& name,
                                    const std::string& description) {
  static const uint8_t kCodecList[16] = {0x40, 0x52, 0xD1, 0x86, 0x1D, 0x31, 0xD0, 0x11,
                                         0xA3, 0xA4, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
  uint64_t headerSize = GetLe64(file.data() + 16);
  size_t pos = 30;
  while (pos + 24 <= headerSize && std::memcmp(file.data() + pos, kCodecList, 16) != 0) {
    pos += static_cast<size_t>(GetLe64(file.data() + pos + 16));
  }
  EXPECT_LT(pos + 24, headerSize) << "no codec list in the ffmpeg output";
  if (pos + 24 >= headerSize) return file;
  uint64_t oldSize = GetLe64(file.data() + pos + 16);

  std::vector<uint8_t> object(kCodecList, kCodecList + 16);
  object.resize(24 + 16, 0);  // size (filled below) and the reserved GUID
  object.insert(object.end(), {1, 0, 0, 0});
  object.insert(object.end(), {1, 0});  // video
  AppendUtf16(&object, name);
  AppendUtf16(&object, description);
  object.insert(object.end(), {4, 0, 'W', 'M', 'V', '3'});
  PutLe64(object.data() + 16, object.size());

  std::vector<uint8_t> out(file.begin(), file.begin() + static_cast<long>(pos));
  out.insert(out.end(), object.begin(), object.end());
  out.insert(out.end(), file.begin() + static_cast<long>(pos + oldSize), file.end());
  PutLe64(out.data() + 16, headerSize - oldSize + object.size());
  return out;
}

bool IsEmpty(const WMTagBlock& block) {
  return block.Title.empty() && block.Album.empty() && block.Author.empty() &&
         block.Genre.empty() && block.DurationText.empty() && block.BitrateText.empty() &&
         block.TrackText.empty() && block.Duration == 0 && block.Bitrate == 0 && block.TrackNo == 0;
}

// ---- Reading ----

TEST(WMTagRead, Mp3TagsNumbersAndQuotes) {
  WMTagBlock block;
  WMTag_Read(Fixture("tagged.mp3"), &block);
  EXPECT_EQ(block.Title, "Say  Hello  Again");
  EXPECT_EQ(block.Album, "Mp3Album");
  EXPECT_EQ(block.Author, "Mp3Artist");
  EXPECT_EQ(block.Genre, "Mp3Genre");
  EXPECT_EQ(block.TrackNo, 7);
  EXPECT_EQ(block.TrackText, "7");
  EXPECT_EQ(block.Duration, 3);
  EXPECT_EQ(block.Bitrate, 128000);
  EXPECT_EQ(block.BitrateText, "128000");
  // The text counts 100-nanosecond units; its last seven digits are the fraction.
  ASSERT_GE(block.DurationText.size(), 8u);
  EXPECT_EQ(block.DurationText.substr(0, block.DurationText.size() - 7), "3");
  EXPECT_EQ(block.Flags, 0u);
}

TEST(WMTagRead, DurationIsRoundedDown) {
  WMTagBlock block;
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

TEST(WMTagRead, VideoContainersGiveDurationAndBitRate) {
  for (const char* name :
       {"xvid.avi", "tagged.mkv", "video.mp4", "video.ts", "video.mpg", "plain.wmv"}) {
    SCOPED_TRACE(name);
    WMTagBlock block;
    WMTag_Read(Fixture(name), &block);
    EXPECT_EQ(block.Duration, 2);
    EXPECT_GT(block.Bitrate, 0);
    EXPECT_EQ(std::to_string(block.Bitrate), block.BitrateText);
  }
}

TEST(WMTagRead, ContainersTagLibCannotReadUseFfmpegTags) {
  WMTagBlock block;
  WMTag_Read(Fixture("tagged.mkv"), &block);
  EXPECT_EQ(block.Title, "MkvTitle");
  EXPECT_EQ(block.Author, "MkvArtist");
  EXPECT_EQ(block.Genre, "MkvGenre");
  WMTag_Read(Fixture("mjpg.avi"), &block);
  EXPECT_EQ(block.Title, "AviTitle");
  WMTag_Read(Fixture("video.mp4"), &block);
  EXPECT_EQ(block.Title, "Mp4Title");
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

TEST(WMTagFlags, AviHandlerCodesOfTheDivxFamilyAreNotMarked) {
  WMTagBlock block;
  WMTag_Read(Fixture("xvid.avi"), &block);
  EXPECT_EQ(block.Flags, 0u);
  WMTag_Read(Fixture("div4.avi"), &block);
  EXPECT_EQ(block.Flags, 0u) << "handler codes compare without regard to case";
  WMTag_Read(Fixture("dx50.avi"), &block);
  EXPECT_EQ(block.Flags, 0x80u);
  WMTag_Read(Fixture("mjpg.avi"), &block);
  EXPECT_EQ(block.Flags, 0x80u);
}

TEST(WMTagFlags, AviFlagNeedsTheAviExtension) {
  TempDir dir;
  std::string path = CopyOf(dir, "mjpg.avi", "clip.bin");
  WMTagBlock block;
  WMTag_Read(path, &block);
  EXPECT_EQ(block.Flags, 0u);
  path = CopyOf(dir, "mjpg.avi", "CLIP.AVI");
  WMTag_Read(path, &block);
  EXPECT_EQ(block.Flags, 0x80u);
}

TEST(WMTagFlags, ProfessionalWmv3IsMarkedOnlyInWmvFiles) {
  TempDir dir;
  std::vector<uint8_t> plain = ReadFileBytes(Fixture("plain.wmv"));
  WMTagBlock block;
  WMTag_Read(Fixture("plain.wmv"), &block);
  EXPECT_EQ(block.Flags, 0u);

  std::string pro = dir.File("pro.WMV");
  ASSERT_TRUE(WriteFileBytes(pro, WithCodecEntry(plain, "WMV3", "Professional")));
  WMTag_Read(pro, &block);
  EXPECT_EQ(block.Flags, 0x100u);
  EXPECT_EQ(block.Duration, 2) << "the rewritten header must still open";

  std::string lower = dir.File("lower.wmv");
  ASSERT_TRUE(WriteFileBytes(lower, WithCodecEntry(plain, "wmv3", "professional")));
  WMTag_Read(lower, &block);
  EXPECT_EQ(block.Flags, 0x100u);

  std::string other = dir.File("other.wmv");
  ASSERT_TRUE(WriteFileBytes(other, WithCodecEntry(plain, "WMV3", "Windows Media Video 9")));
  WMTag_Read(other, &block);
  EXPECT_EQ(block.Flags, 0u);

  std::string asf = dir.File("pro.asf");
  ASSERT_TRUE(WriteFileBytes(asf, WithCodecEntry(plain, "WMV3", "Professional")));
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
  EXPECT_NE(log.Text().find("Could not open the file " + dir.File("missing.mp3") + ".\n"),
            std::string::npos);
}

TEST(WMTagRead, RandomBytesGiveAnEmptyBlock) {
  TempDir dir;
  media_test::LogCapture log;
  std::vector<uint8_t> noise(256 * 1024);
  uint32_t state = 12345;
  for (uint8_t& byte : noise) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  for (const char* name : {"a.mp3", "a.avi", "a.wmv", "a.flac", "a.m4a", "a.ogg", "a.mkv", "a.wma",
                           "a.mpg", "a.wav"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(WriteFileBytes(dir.File(name), noise));
    WMTagBlock block;
    WMTag_Read(dir.File(name), &block);
    EXPECT_TRUE(IsEmpty(block));
    EXPECT_EQ(block.Flags, 0u);
  }
}

TEST(WMTagRead, TruncatedFilesDoNotCrash) {
  TempDir dir;
  media_test::LogCapture log;
  // One file of each container family.
  for (const std::string name :
       {"tagged.mp3", "tagged.flac", "tagged.ogg", "tagged.m4a", "tagged.wma", "tagged.wav",
        "mjpg.avi", "tagged.mkv", "video.ts"}) {
    std::vector<uint8_t> whole = ReadFileBytes(Fixture(name));
    for (size_t length :
         {size_t{0}, size_t{4}, size_t{16}, size_t{100}, whole.size() / 3, whole.size() - 1}) {
      SCOPED_TRACE(name + " cut at " + std::to_string(length));
      std::string path = dir.File("cut-" + name);
      ASSERT_TRUE(WriteFileBytes(
          path, std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(std::min(
                                                                        length, whole.size())))));
      WMTagBlock block;
      WMTag_Read(path, &block);
      if (length <= 16) {
        EXPECT_TRUE(IsEmpty(block));
      }
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

TEST(WMTagWrite, MissingTagsAreAddedOnlyForAudio) {
  TempDir dir;
  WMTagBlock block;
  block.Title = "T";
  block.Album = "A";
  block.Author = "R";
  block.Genre = "G";

  std::string video = CopyOf(dir, "untagged.mp3", "video.mp3");
  block.FileType = "Video";
  ASSERT_TRUE(WMTag_Write(video, block));
  WMTagBlock read;
  WMTag_Read(video, &read);
  EXPECT_EQ(read.Title, "T");
  EXPECT_EQ(read.Album, "");
  EXPECT_EQ(read.Author, "");

  std::string audio = CopyOf(dir, "untagged.mp3", "audio.mp3");
  block.FileType = "Audio";
  ASSERT_TRUE(WMTag_Write(audio, block));
  WMTag_Read(audio, &read);
  EXPECT_EQ(read.Title, "T");
  EXPECT_EQ(read.Album, "A");
  EXPECT_EQ(read.Author, "R");
  EXPECT_EQ(read.Genre, "G");
}

TEST(WMTagWrite, ExistingTagsAreChangedForAnyKind) {
  TempDir dir;
  std::string path = CopyOf(dir, "tagged.wma", "clip.wma");
  WMTagBlock block;
  block.Title = "NewTitle";
  block.Album = "NewAlbum";
  block.Author = "NewArtist";
  block.Genre = "NewGenre";
  block.FileType = "Video";
  ASSERT_TRUE(WMTag_Write(path, block));
  WMTagBlock read;
  WMTag_Read(path, &read);
  EXPECT_EQ(read.Title, "NewTitle");
  EXPECT_EQ(read.Album, "NewAlbum");
  EXPECT_EQ(read.Author, "NewArtist");
  EXPECT_EQ(read.Genre, "NewGenre");
  EXPECT_EQ(read.TrackNo, 4);
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
  EXPECT_NE(log.Text().find("Could not write the tags of the file " + dir.File("u-tagged.mkv")),
            std::string::npos);
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
