#include "media/asf_codec_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/testing/media_fixtures.h"

namespace {

using media::AsfCodecEntry;
using media::AsfCodecList_Flags;
using media::AsfCodecList_Parse;
using media_test::AsfCodecListBody;
using media_test::PutLe;

// Reading a real header is proven by the tag reader's test of a rewritten WMV file.
TEST(AsfCodecList, FlagNeedsVideoWmv3DescribedProfessional) {
  EXPECT_EQ(AsfCodecList_Flags({{1, "wmv3", "PROFESSIONAL"}}), 0x100u);
  EXPECT_EQ(AsfCodecList_Flags({{2, "WMV3", "Professional"}}), 0u);
  EXPECT_EQ(AsfCodecList_Flags({{1, "WMV2", "Professional"}}), 0u);
  EXPECT_EQ(AsfCodecList_Flags({{1, "WMV3", "Professional Plus"}}), 0u);
  EXPECT_EQ(AsfCodecList_Flags({{1, "WMV3", "Windows Media Video 9"}}), 0u);
  EXPECT_EQ(AsfCodecList_Flags({}), 0u);
}

TEST(AsfCodecList, TextsAreConvertedToUtf8) {
  std::vector<uint8_t> body = AsfCodecListBody({{1, u"Caf\u00e9 \U0001F3B5", u"x"}});
  std::vector<AsfCodecEntry> entries;
  ASSERT_TRUE(AsfCodecList_Parse(body.data(), body.size(), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].type, 1);
  EXPECT_EQ(entries[0].name, "Caf\xC3\xA9 \xF0\x9F\x8E\xB5");
  EXPECT_EQ(entries[0].description, "x");
  // An unpaired surrogate becomes U+FFFD.
  std::vector<uint8_t> lone = {0x00, 0xD8, 'a', 0};
  EXPECT_EQ(media::Utf16LeToUtf8(lone.data(), 2),
            "\xEF\xBF\xBD"
            "a");
}

TEST(AsfCodecList, CutListsKeepTheEntriesBeforeTheCutAndBrokenHeadersGiveNone) {
  std::vector<uint8_t> body =
      AsfCodecListBody({{2, u"Audio", u"a"}, {1, u"WMV3", u"Professional"}});
  for (size_t length = 0; length < body.size(); ++length) {
    std::vector<AsfCodecEntry> entries;
    EXPECT_FALSE(AsfCodecList_Parse(body.data(), length, &entries)) << length;
    EXPECT_LE(entries.size(), 1u);
  }
  // The count may claim more entries than are there.
  std::vector<uint8_t> claimed = body;
  claimed[16] = claimed[17] = claimed[18] = claimed[19] = 0xFF;
  std::vector<AsfCodecEntry> entries;
  EXPECT_FALSE(AsfCodecList_Parse(claimed.data(), claimed.size(), &entries));
  EXPECT_EQ(entries.size(), 2u);

  // A header object holding an unrelated object and then the codec list.
  static const uint8_t kHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  static const uint8_t kOther[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::vector<uint8_t> objects = media_test::AsfObject(kOther, std::vector<uint8_t>(50, 0xAA));
  std::vector<uint8_t> list = media_test::AsfObject(media_test::kAsfCodecListGuid, body);
  objects.insert(objects.end(), list.begin(), list.end());
  std::vector<uint8_t> file(kHeaderGuid, kHeaderGuid + 16);
  PutLe(&file, 30 + objects.size(), 8);
  PutLe(&file, 2, 4);
  PutLe(&file, 0x0201, 2);
  file.insert(file.end(), objects.begin(), objects.end());
  file.resize(file.size() + 64, 0);  // the data object would follow
  auto read = [](const std::vector<uint8_t>& bytes) {
    media::MemoryByteSource source(bytes.data(), bytes.size());
    std::vector<AsfCodecEntry> found;
    media::AsfCodecList_Read(source, &found);
    return found.size();
  };
  EXPECT_EQ(read(file), 2u);
  for (size_t length = 0; length < 30 + 74 + 24; ++length) {
    EXPECT_EQ(read(std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(length))),
              0u)
        << length;
  }
  std::vector<uint8_t> notAsf = file, zeroSize = file, tooBig = file;
  notAsf[0] ^= 1;
  // An object size of zero must not make the walk stand still, and an object reaching past
  // the header's end is not followed.
  for (int i = 0; i < 8; ++i) zeroSize[30 + 16 + i] = 0;
  tooBig[30 + 16 + 7] = 0x7F;
  for (const auto& broken : {notAsf, zeroSize, tooBig}) EXPECT_EQ(read(broken), 0u);
}

}  // namespace
