#include "media/ffmpeg_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "media/media_fixtures.h"
#include "media/wm_tag.h"

namespace {

using media_test::RunFfmpeg;
using media_test::TempDir;

bool FfmpegMapped() { return media_test::LibraryMapped("/libavformat.so"); }

// Reads two songs and then a video, and says what was mapped when.
[[noreturn]] void ReadAndExit(const std::string& mp3, const std::string& flac,
                              const std::string& video) {
  WMTagBlock song;
  WMTagBlock lossless;
  WMTagBlock clip;
  WMTag_Read(mp3, &song);
  WMTag_Read(flac, &lossless);
  bool afterSongs = FfmpegMapped();
  WMTag_Read(video, &clip);
  bool afterVideo = FfmpegMapped();
  std::fprintf(stderr, "songs=%d %s/%d %s/%d video=%d %d\n", afterSongs, song.Title.c_str(),
               song.Duration, lossless.Title.c_str(), lossless.Duration, afterVideo, clip.Duration);
  bool expected = !afterSongs && song.Duration == 2 && lossless.Duration == 2 && afterVideo &&
                  clip.Duration == 2;
  std::exit(expected ? 0 : 1);
}

// Runs in a fresh copy of the test program (the "threadsafe" style), so that no earlier
// test has loaded the library yet. Songs of the formats TagLib reads in full must not
// load it; a video must, and must then be read.
TEST(FfmpegSupportDeathTest, SongsLeaveFfmpegUnloadedAndTheFirstVideoLoadsIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  const std::string mp3 = dir.File("song.mp3");
  const std::string flac = dir.File("song.flac");
  const std::string video = dir.File("clip.mp4");
  ASSERT_TRUE(RunFfmpeg({"-f", "lavfi", "-i", "sine=d=2", "-metadata", "title=Song", mp3}));
  ASSERT_TRUE(RunFfmpeg({"-f", "lavfi", "-i", "sine=d=2", "-metadata", "title=Flac", flac}));
  ASSERT_TRUE(RunFfmpeg(
      {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=2", "-c:v", "mpeg4", video}));
  EXPECT_EXIT(ReadAndExit(mp3, flac, video), ::testing::ExitedWithCode(0),
              "songs=0 Song/2 Flac/2 video=1 2");
}

}  // namespace
