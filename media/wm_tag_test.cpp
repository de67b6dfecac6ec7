#include "media/wm_tag.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <mutex>

#include "platform/testing/test_support.h"
#include "platform/text.h"

namespace {

using platform::testing::ReadFile;
using platform::testing::TempDir;
using platform::testing::WriteFile;

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<std::string> kVideo = {"-f", "lavfi", "-i",
                                         "testsrc=size=64x48:rate=10:duration=2"};
const std::vector<std::string> kAudio = {"-f", "lavfi", "-i", "sine=frequency=440:duration=2.5"};

// Audio with the tags "<prefix>Title", "<prefix>Album" and so on, track 4.
std::vector<std::string> Tagged(const std::vector<std::string>& input, const std::string& prefix,
                                const std::vector<std::string>& codec) {
  return Join(Join(input, codec), {"-metadata", "title=" + prefix + "Title",  //
                                   "-metadata", "album=" + prefix + "Album",  //
                                   "-metadata", "artist=" + prefix + "Artist", "-metadata",
                                   "genre=" + prefix + "Genre", "-metadata", "track=4"});
}

// Makes fixture `name` once per test process and returns its path.
std::string Fixture(const std::string& name) {
  static const std::map<std::string, std::vector<std::string>> args = {
      {"tagged.mp3",
       {"-f", "lavfi", "-i", "sine=frequency=440:duration=3.5", "-c:a", "libmp3lame", "-b:a",
        "128k", "-metadata", "title=Say \"Hello\" Again"}},
      {"untagged.mp3", Join(kAudio, {"-c:a", "libmp3lame", "-map_metadata", "-1", "-fflags",
                                     "+bitexact", "-id3v2_version", "0"})},
      {"tagged.flac", Tagged({"-f", "lavfi", "-i", "sine=duration=3.9"}, "Flac", {"-c:a", "flac"})},
      {"tagged.m4a", Tagged(kAudio, "M4a", {"-c:a", "aac"})},
      {"tagged.wma", Tagged(kAudio, "Wma", {"-c:a", "wmav2", "-f", "asf"})},
      {"dx50.avi", Join(kVideo, {"-c:v", "mpeg4", "-vtag", "DX50"})},
      {"mjpg.avi", Tagged(kVideo, "Avi", {"-c:v", "mjpeg", "-vtag", "MJPG"})},
      {"tagged.mkv", Tagged(kVideo, "Mkv", {"-c:v", "mpeg4"})},
  };
  static TempDir dir;
  static std::mutex mutex;
  static std::map<std::string, bool> made;
  std::lock_guard lock(mutex);
  std::string path = dir.Join(name);
  if (!made.count(name)) {
    made[name] = platform::testing::RunFfmpeg(Join(args.at(name), {path}));
  }
  EXPECT_TRUE(made[name]) << "ffmpeg could not make " << name;
  return path;
}

// A copy of fixture `name` in `dir` named `as`, which a test may change.
std::string CopyOf(const TempDir& dir, const std::string& name, const std::string& as) {
  std::string path = dir.Join(as);
  WriteFile(path, ReadFile(Fixture(name)));
  return path;
}

bool IsEmpty(const WMTagBlock& block) {
  return block.Title.empty() && block.Album.empty() && block.Author.empty() &&
         block.Genre.empty() && block.DurationText.empty() && block.BitrateText.empty() &&
         block.TrackText.empty() && block.Duration == 0 && block.Bitrate == 0 &&
         block.TrackNo == 0 && block.Flags == 0;
}

// Every container the scanner meets, some under the name of another format (the demuxer is
// chosen by the extension first), and the AVI flag of codecs outside the DivX family.
TEST(WMTagRead, EveryFormatGivesItsTagsNumbersAndFlags) {
  struct Case {
    const char* fixture;
    const char* as;      // the name it is read under
    const char* title;   // "<prefix>Title" of tagged audio, else the title ffmpeg reads
    const char* prefix;  // tagged audio: album, author and genre follow it, track 4
    int duration;
    uint32_t flags;
  };
  const Case cases[] = {
      {"tagged.mp3", "a.mp3", "Say  Hello  Again", nullptr, 3, 0},  // quotes replaced
      {"tagged.flac", "a.flac", "FlacTitle", "Flac", 3, 0},
      {"tagged.wma", "a.wma", "WmaTitle", "Wma", 2, 0},
      {"tagged.m4a", "song.mp3", "M4aTitle", "M4a", 2, 0},
      {"dx50.avi", "dx50.avi", "", nullptr, 2, 0x80},
      {"mjpg.avi", "CLIP.AVI", "AviTitle", nullptr, 2, 0x80},
      {"mjpg.avi", "clip.bin", "AviTitle", nullptr, 2, 0},
      {"tagged.mkv", "film.mp4", "MkvTitle", nullptr, 2, 0},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " as " + c.as);
    WMTagBlock block;
    WMTag_Read(CopyOf(dir, c.fixture, c.as), &block);
    EXPECT_EQ(block.Title, c.title);
    EXPECT_EQ(block.Duration, c.duration);
    EXPECT_GT(block.Bitrate, 0);
    EXPECT_EQ(std::to_string(block.Bitrate), block.BitrateText);
    EXPECT_EQ(block.Flags, c.flags);
    // The text counts 100-nanosecond units; an MP3's rate comes in kbit/s.
    const std::string as = c.as;
    EXPECT_TRUE(as != "a.flac" || block.DurationText == "39000000") << block.DurationText;
    EXPECT_TRUE(as != "a.mp3" || block.Bitrate == 128000) << block.Bitrate;
    if (c.prefix == nullptr) continue;
    EXPECT_EQ(block.Album, std::string(c.prefix) + "Album");
    EXPECT_EQ(block.Author, std::string(c.prefix) + "Artist");
    EXPECT_EQ(block.Genre, std::string(c.prefix) + "Genre");
    EXPECT_EQ(block.TrackNo, 4);
  }
}

TEST(WMTagRead, MissingOrTruncatedFilesGiveAnEmptyBlockAndNoCrash) {
  TempDir dir;
  platform::testing::LogCapture log;
  WMTagBlock block;
  block.Title = "stale";
  block.Flags = 7;
  ASSERT_EQ(::mkfifo(dir.Join("pipe.avi").c_str(), 0600), 0);
  for (const std::string& path : {dir.Join("missing.mp3"), dir.path(), dir.Join("pipe.avi")}) {
    WMTag_Read(path, &block);
    EXPECT_TRUE(IsEmpty(block)) << path;
  }
  // One file of each container family, cut at the start, in the headers and near the end.
  for (const std::string name :
       {"tagged.mp3", "tagged.flac", "tagged.m4a", "tagged.wma", "mjpg.avi", "tagged.mkv"}) {
    std::string whole = ReadFile(Fixture(name));
    for (size_t length :
         {size_t{0}, size_t{4}, size_t{16}, size_t{100}, whole.size() / 3, whole.size() - 1}) {
      SCOPED_TRACE(name + " cut at " + std::to_string(length));
      WriteFile(dir.Join("cut-" + name), whole.substr(0, length));
      WMTag_Read(dir.Join("cut-" + name), &block);
      EXPECT_TRUE(length > 16 || IsEmpty(block));
      EXPECT_TRUE(platform::IsValidUtf8(block.Title));
    }
  }
}

// Unwritable files are proven through the media details' save.
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
    if (c.fixture == std::string("tagged.wma")) {
      EXPECT_EQ(read.TrackNo, 4) << "fields that are not written are kept";
    }
  }
  // A long title is read back cut at a character boundary, its quotes replaced.
  block.Title.clear();
  for (int i = 0; i < 700; ++i) block.Title += "\xC3\xA9";  // 1,400 bytes
  block.Title += "\"";
  std::string path = CopyOf(dir, "untagged.mp3", "long.mp3");
  ASSERT_TRUE(WMTag_Write(path, block));
  WMTagBlock read;
  WMTag_Read(path, &read);
  EXPECT_EQ(read.Title.size(), 1022u);
  EXPECT_TRUE(platform::IsValidUtf8(read.Title));
  EXPECT_EQ(read.Title.find('"'), std::string::npos);
}

}  // namespace
