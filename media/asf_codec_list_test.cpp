#include "media/asf_codec_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/testing/media_fixtures.h"

namespace {

using media::AsfCodecEntry;
using media::AsfCodecList_Parse;
using media_test::AsfCodecListBody;

// The header of a real WMV file is walked when the real-client suites scan show.wmv.
TEST(AsfCodecList, FlagNeedsVideoWmv3DescribedProfessional) {
  EXPECT_EQ(media::AsfCodecList_Flags({{1, "wmv3", "PROFESSIONAL"}}), 0x100u);
  EXPECT_EQ(media::AsfCodecList_Flags({{2, "WMV3", "Professional"}}), 0u);
  EXPECT_EQ(media::AsfCodecList_Flags({{1, "WMV2", "Professional"}}), 0u);
  EXPECT_EQ(media::AsfCodecList_Flags({{1, "WMV3", "Professional Plus"}}), 0u);
}

// Texts are UTF-16 with surrogate pairs (an unpaired one becomes U+FFFD); a cut list keeps
// the entries before the cut, and so does a count that claims more than there are.
TEST(AsfCodecList, TextsAreConvertedAndCutListsKeepTheEntriesBeforeTheCut) {
  std::u16string name = u"Caf\u00e9 \U0001F3B5";
  name += char16_t{0xD800};
  std::vector<uint8_t> body = AsfCodecListBody({{2, name, u"a"}, {1, u"WMV3", u"Professional"}});
  std::vector<AsfCodecEntry> entries;
  ASSERT_TRUE(AsfCodecList_Parse(body.data(), body.size(), &entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].type, 2);
  EXPECT_EQ(entries[0].name, "Caf\xC3\xA9 \xF0\x9F\x8E\xB5\xEF\xBF\xBD");
  EXPECT_EQ(entries[1].description, "Professional");
  for (size_t length = 0; length < body.size(); ++length) {
    entries.clear();
    EXPECT_FALSE(AsfCodecList_Parse(body.data(), length, &entries)) << length;
    EXPECT_LE(entries.size(), 1u);
  }
  body[16] = body[17] = body[18] = body[19] = 0xFF;
  entries.clear();
  EXPECT_FALSE(AsfCodecList_Parse(body.data(), body.size(), &entries));
  EXPECT_EQ(entries.size(), 2u);
}

// A header object holding an unrelated object and then the codec list; cut anywhere in
// it, or with an object size of zero (which must not make the walk stand still) or past
// the header's end, it gives nothing.
TEST(AsfCodecList, HeaderWalkFindsTheListAndStopsOnBrokenObjects) {
  static const uint8_t kOther[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::vector<uint8_t> objects = media_test::AsfObject(kOther, std::vector<uint8_t>(50, 0xAA));
  std::vector<uint8_t> list = media_test::AsfObject(
      media_test::kAsfCodecListGuid, AsfCodecListBody({{2, u"Audio", u"a"}, {1, u"V", u"v"}}));
  objects.insert(objects.end(), list.begin(), list.end());
  std::vector<uint8_t> file = media_test::AsfHeader(objects);
  auto read = [](const std::vector<uint8_t>& bytes) {
    media::MemoryByteSource source(bytes.data(), bytes.size());
    std::vector<AsfCodecEntry> found;
    media::AsfCodecList_Read(source, &found);
    return found.size();
  };
  EXPECT_EQ(read(file), 2u);
  for (size_t length = 0; length < 30 + 74 + 24; ++length) {
    EXPECT_EQ(read({file.begin(), file.begin() + static_cast<long>(length)}), 0u) << length;
  }
  std::vector<uint8_t> notAsf = file, zeroSize = file, tooBig = file;
  notAsf[0] ^= 1;
  for (int i = 0; i < 8; ++i) zeroSize[30 + 16 + i] = 0;
  tooBig[30 + 16 + 7] = 0x7F;
  for (const auto& broken : {notAsf, zeroSize, tooBig}) EXPECT_EQ(read(broken), 0u);
}

}  // namespace
