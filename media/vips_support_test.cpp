#include "media/vips_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "media/media_fixtures.h"
#include "media/wm_tag.h"

namespace {

using media_test::RunFfmpeg;
using media_test::TempDir;

bool VipsMapped() { return media_test::LibraryMapped("/libvips.so"); }

// The checks run in a fresh copy of the test program (the "threadsafe" style runs the
// test again in a new process), so that no earlier test has loaded the library yet.
TEST(VipsSupportDeathTest, TheLibraryIsLoadedByTheFirstPictureAndNotByReadingTags) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  const std::string song = dir.File("song.mp3");
  const std::string picture = dir.File("picture.png");
  ASSERT_TRUE(RunFfmpeg({"-f", "lavfi", "-i", "sine=d=1", "-metadata", "title=Song", song}));
  ASSERT_TRUE(RunFfmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1", picture}));

  EXPECT_EXIT(
      {
        bool atStart = VipsMapped();
        WMTagBlock tags;
        WMTag_Read(song, &tags);
        bool afterTags = VipsMapped();
        media::VipsImagePtr image = media::Vips_LoadSequential(picture);
        bool afterPicture = VipsMapped();
        int width = image ? media::Vips_Ensure()->image_get_width(image.get()) : 0;
        std::fprintf(stderr, "start=%d tags=%d title=%s picture=%d width=%d\n", atStart, afterTags,
                     tags.Title.c_str(), afterPicture, width);
        std::exit(
            !atStart && !afterTags && tags.Title == "Song" && afterPicture && width == 64 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "start=0 tags=0 title=Song picture=1 width=64");
}

}  // namespace
