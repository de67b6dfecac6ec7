#include "media/asf_codec_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/media_fixtures.h"

namespace {

using media::AsfCodecEntry;
using media::AsfCodecList_Flags;
using media::AsfCodecList_Parse;
using media::AsfCodecList_Read;
using media::MemoryByteSource;

using media_test::AsfCodecListBody;
using media_test::AsfObject;
using media_test::PutLe;

const uint8_t kHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

// An ASF header object holding an unrelated object and then the codec list.
std::vector<uint8_t> AsfFile(const std::vector<uint8_t>& codecListBody) {
  static const uint8_t kOther[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::vector<uint8_t> objects = AsfObject(kOther, std::vector<uint8_t>(50, 0xAA));
  std::vector<uint8_t> list = AsfObject(media_test::kAsfCodecListGuid, codecListBody);
  objects.insert(objects.end(), list.begin(), list.end());
  std::vector<uint8_t> file(kHeaderGuid, kHeaderGuid + 16);
  PutLe(&file, 30 + objects.size(), 8);
  PutLe(&file, 2, 4);
  PutLe(&file, 0x0201, 2);
  file.insert(file.end(), objects.begin(), objects.end());
  file.resize(file.size() + 64, 0);  // the data object would follow
  return file;
}

std::vector<AsfCodecEntry> ReadList(const std::vector<uint8_t>& file) {
  MemoryByteSource source(file.data(), file.size());
  std::vector<AsfCodecEntry> entries;
  AsfCodecList_Read(source, &entries);
  return entries;
}

TEST(AsfCodecList, ReadsEntriesFromTheHeader) {
  auto entries = ReadList(AsfFile(AsfCodecListBody(
      {{2, u"Windows Media Audio 9.2", u"128 kbps"}, {1, u"WMV3", u"Professional"}})));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].type, 2);
  EXPECT_EQ(entries[0].name, "Windows Media Audio 9.2");
  EXPECT_EQ(entries[0].description, "128 kbps");
  EXPECT_EQ(entries[1].name, "WMV3");
  EXPECT_EQ(AsfCodecList_Flags(entries), 0x100u);
}

TEST(AsfCodecList, FlagNeedsVideoWmv3DescribedProfessional) {
  EXPECT_EQ(AsfCodecList_Flags({{1, "wmv3", "PROFESSIONAL"}}), 0x100u);
  EXPECT_EQ(AsfCodecList_Flags({{2, "WMV3", "Professional"}}), 0u);
  EXPECT_EQ(AsfCodecList_Flags({{1, "WMV2", "Professional"}}), 0u);
  EXPECT_EQ(AsfCodecList_Flags({{1, "WMV3", "Professional Plus"}}), 0u);
  EXPECT_EQ(AsfCodecList_Flags({{1, "WMV3", "Windows Media Video 9"}}), 0u);
  EXPECT_EQ(AsfCodecList_Flags({}), 0u);
}

TEST(AsfCodecList, TextsAreConvertedToUtf8) {
  std::u16string name = u"Caf\u00e9 \U0001F3B5";
  std::vector<uint8_t> body = AsfCodecListBody({{1, name, u"x"}});
  std::vector<AsfCodecEntry> entries;
  ASSERT_TRUE(AsfCodecList_Parse(body.data(), body.size(), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "Caf\xC3\xA9 \xF0\x9F\x8E\xB5");
  // An unpaired surrogate becomes U+FFFD.
  std::vector<uint8_t> lone = {0x00, 0xD8, 'a', 0};
  EXPECT_EQ(media::Utf16LeToUtf8(lone.data(), 2),
            "\xEF\xBF\xBD"
            "a");
}

TEST(AsfCodecList, TruncatedListKeepsTheEntriesBeforeTheCut) {
  std::vector<uint8_t> body =
      AsfCodecListBody({{2, u"Audio", u"a"}, {1, u"WMV3", u"Professional"}});
  for (size_t length = 0; length < body.size(); ++length) {
    std::vector<AsfCodecEntry> entries;
    EXPECT_FALSE(AsfCodecList_Parse(body.data(), length, &entries)) << length;
    EXPECT_LE(entries.size(), 1u);
  }
  // The count may claim more entries than are there.
  body[16] = 0xFF;
  body[17] = 0xFF;
  body[18] = 0xFF;
  body[19] = 0xFF;
  std::vector<AsfCodecEntry> entries;
  EXPECT_FALSE(AsfCodecList_Parse(body.data(), body.size(), &entries));
  EXPECT_EQ(entries.size(), 2u);
}

TEST(AsfCodecList, BrokenHeadersAreRejected) {
  std::vector<uint8_t> file = AsfFile(AsfCodecListBody({{1, u"WMV3", u"Professional"}}));
  for (size_t length = 0; length < 30 + 74 + 24; ++length) {
    std::vector<uint8_t> part(file.begin(), file.begin() + static_cast<long>(length));
    EXPECT_TRUE(ReadList(part).empty()) << length;
  }
  std::vector<uint8_t> notAsf = file;
  notAsf[0] ^= 1;
  EXPECT_TRUE(ReadList(notAsf).empty());
  // An object size of zero must not make the walk stand still.
  std::vector<uint8_t> zeroSize = file;
  for (int i = 0; i < 8; ++i) zeroSize[30 + 16 + i] = 0;
  EXPECT_TRUE(ReadList(zeroSize).empty());
  // An object reaching past the header's end is not followed.
  std::vector<uint8_t> tooBig = file;
  tooBig[30 + 16 + 7] = 0x7F;
  EXPECT_TRUE(ReadList(tooBig).empty());
}

}  // namespace
