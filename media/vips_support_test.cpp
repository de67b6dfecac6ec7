// Neither libvips nor FFmpeg is linked: each is loaded by the first file that needs it.
#include "media/vips_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "media/ffmpeg_support.h"
#include "media/wm_tag.h"
#include "platform/testing/test_support.h"

namespace {

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
