// Neither libvips nor FFmpeg is linked: each is loaded by the first file that needs it.
#include "media/vips_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "media/ffmpeg_support.h"
#include "media/image_size.h"
#include "media/testing/media_fixtures.h"
#include "media/wm_tag.h"
#include "platform/testing/test_support.h"

namespace {

using platform::testing::RunFfmpeg;

// Reads songs, picture sizes and a video, and says what was mapped when.
[[noreturn]] void ReadAndExit(const platform::testing::TempDir& dir) {
  auto mapped = [] {
    return std::string(media_test::LibraryMapped("/libvips.so") ? "V" : "-") +
           (media_test::LibraryMapped("/libavformat.so") ? "F" : "-");
  };
  WMTagBlock song, lossless, clip;
  WMTag_Read(dir.Join("song.mp3"), &song);
  WMTag_Read(dir.Join("song.flac"), &lossless);
  std::string afterSongs = mapped();
  int size[6] = {};
  ImageSize(dir.Join("a.jpg"), &size[0], &size[1]);
  ImageSize(dir.Join("b.png"), &size[2], &size[3]);
  std::string afterHeaders = mapped();
  ImageSize(dir.Join("c.bmp"), &size[4], &size[5]);
  std::string afterBitmap = mapped();
  WMTag_Read(dir.Join("clip.mp4"), &clip);
  std::fprintf(stderr, "songs=%s %s/%d %s/%d headers=%s %dx%d %dx%d bitmap=%s %dx%d video=%s %d\n",
               afterSongs.c_str(), song.Title.c_str(), song.Duration, lossless.Title.c_str(),
               lossless.Duration, afterHeaders.c_str(), size[0], size[1], size[2], size[3],
               afterBitmap.c_str(), size[4], size[5], mapped().c_str(), clip.Duration);
  std::exit(0);
}

// Runs in a fresh copy of the test program (the "threadsafe" style), where no earlier test
// has loaded either library. Songs of the formats TagLib reads in full load neither, JPEG
// and PNG sizes come from their headers, a bitmap loads libvips and a video FFmpeg.
TEST(LibraryLoadingDeathTest, EachLibraryIsLoadedByTheFirstFileThatNeedsIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  platform::testing::TempDir dir;
  ASSERT_TRUE(RunFfmpeg(
      {"-f", "lavfi", "-i", "sine=d=2", "-metadata", "title=Song", dir.Join("song.mp3")}));
  ASSERT_TRUE(RunFfmpeg(
      {"-f", "lavfi", "-i", "sine=d=2", "-metadata", "title=Flac", dir.Join("song.flac")}));
  for (const auto& [name, size] : {std::pair{"a.jpg", "641x100"}, std::pair{"b.png", "160x1000"},
                                   std::pair{"c.bmp", "33x17"}}) {
    ASSERT_TRUE(RunFfmpeg({"-f", "lavfi", "-i", std::string("testsrc=size=") + size, "-frames:v",
                           "1", dir.Join(name)}));
  }
  ASSERT_TRUE(RunFfmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=2", "-c:v",
                         "mpeg4", dir.Join("clip.mp4")}));
  EXPECT_EXIT(ReadAndExit(dir), ::testing::ExitedWithCode(0),
              "songs=-- Song/2 Flac/2 headers=-- 641x100 160x1000 bitmap=V- 33x17 video=VF 2");
}

// A damaged FFmpeg found first (here in LD_LIBRARY_PATH, which the fresh copy of the test
// program reads) is not loaded, and a video is then read without it instead of crashing.
// Nothing here may start ffmpeg: the copy runs this body again with the damaged library.
TEST(LibraryLoadingDeathTest, AnFfmpegThatCannotBeLoadedIsLeftAlone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  platform::testing::TempDir dir;
  platform::testing::WriteFile(dir.Join("libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR)),
                               "not a library");
  platform::testing::WriteFile(dir.Join("clip.mp4"), std::string(4096, 'v'));
  ::setenv("LD_LIBRARY_PATH", dir.path().c_str(), 1);
  EXPECT_EXIT(
      {
        platform::testing::LogCapture log;
        WMTagBlock clip;
        WMTag_Read(dir.Join("clip.mp4"), &clip);
        std::fprintf(stderr, "loaded=%d %s\n", media::Ffmpeg_Ensure() != nullptr,
                     log.Contains("metadata: cannot load libavutil") ? "logged" : "silent");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "loaded=0 logged");
  ::unsetenv("LD_LIBRARY_PATH");
}

}  // namespace
