#include "internet/youtube_feed_parser.h"

#include <gtest/gtest.h>

#include "internet/internet_limits.h"
#include "platform/text.h"

namespace {

TEST(YouTubeFeedParserTest, TitleEntityRules) {
  struct Case {
    const char* raw;
    const char* title;
  };
  for (const Case& c : {
           Case{"Tom &amp; Jerry &quot;Live&quot;", "Tom & Jerry \"Live\""},
           Case{"say \"hi\"", "say hi"},
           Case{"&lt;b&gt; &apos;x&apos;", "<b> 'x'"},
           Case{"&amp;quot;", "&quot;"},  // one pass: the decoded "&" starts nothing
           Case{"&AMP; &amp &nbsp; &#38;", "&AMP; &amp &nbsp; &#38;"},  // only the five
           Case{"a\xFF"
                "b\xC3",
                "a\xEF\xBF\xBD"
                "b\xEF\xBF\xBD"},
       }) {
    EXPECT_EQ(YouTube_DecodeTitle(c.raw), c.title) << c.raw;
  }
}

TEST(YouTubeFeedParserTest, TitlesAreCutAt1019BytesAnd1000Units) {
  EXPECT_EQ(YouTube_DecodeTitle(std::string(2000, 'a')), std::string(kFeedTitleMaxUnits, 'a'));

  std::string twoByte;
  for (int i = 0; i < 600; ++i) twoByte += "\xC3\xA9";
  std::string cut = YouTube_DecodeTitle("a" + twoByte);
  EXPECT_EQ(cut.size(), kFeedTitleMaxBytes);
  EXPECT_TRUE(platform::IsValidUtf8(cut));
  // An even count of bytes after the "a" would end inside a character; the cut backs off.
  EXPECT_EQ(YouTube_DecodeTitle(twoByte).size(), kFeedTitleMaxBytes - 1);

  // Characters past U+FFFF are two UTF-16 units each.
  std::string astral;
  for (int i = 0; i < 200; ++i) astral += "\xF0\x9F\x8E\xB5";
  // 990 + 2 * 5 units reach the limit while 990 + 4 * 7 bytes would still fit.
  EXPECT_EQ(YouTube_DecodeTitle(std::string(990, 'a') + astral),
            std::string(990, 'a') + astral.substr(0, 4 * 5));

  // Entities are decoded before the cut, so a long title of "&amp;" keeps 1000 "&".
  std::string amps;
  for (int i = 0; i < 1500; ++i) amps += "&amp;";
  EXPECT_EQ(YouTube_DecodeTitle(amps), std::string(kFeedTitleMaxUnits, '&'));
}

}  // namespace
