#include "media/subtitle.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Only NAME.ext and NAME.LANG.ext belong to NAME.video; the plain name wins over a
// language, .srt over the other formats, and the listing's order changes nothing.
TEST(SubtitleTest, TheVideosOwnSubtitleIsChosenWhateverTheListingOrder) {
  std::vector<std::string> names = {"clip.mp4",    "clipper.srt", "clip.en.x.srt", ".srt",
                                    "clip.fr.srt", "clip.en.SRT", "clip.ass",      "other.srt"};
  EXPECT_EQ(media::Subtitle_ForVideo("clip.mp4", names), "clip.ass");
  names.push_back("clip.smi");
  EXPECT_EQ(media::Subtitle_ForVideo("clip.mp4", names), "clip.smi");
  std::vector<std::string> languages = {"clip.fr.srt", "clip.en.SRT", "clip.de.vtt"};
  EXPECT_EQ(media::Subtitle_ForVideo("clip.mp4", languages), "clip.en.SRT");
  std::reverse(languages.begin(), languages.end());
  EXPECT_EQ(media::Subtitle_ForVideo("clip.mp4", languages), "clip.en.SRT");
  EXPECT_EQ(media::Subtitle_ForVideo("clip.mp4", {"clipper.srt", "clip.en.x.srt", ".srt"}), "");
  EXPECT_EQ(media::Subtitle_ForVideo("clip.srt", {"clip.srt"}), "");
  EXPECT_EQ(media::Subtitle_Type("clip.en.SRT"), "srt");
  EXPECT_EQ(media::Subtitle_Mime("clip.smi"), "smi/caption");
}

}  // namespace
