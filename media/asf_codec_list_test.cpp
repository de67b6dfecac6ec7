#include "media/asf_codec_list.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using media::AsfCodecEntry;
using media::AsfCodecList_Parse;

void PutLe(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The body of a codec list whose entries (type, name, description) carry two bytes of codec
// information of no note.
std::vector<uint8_t> AsfCodecListBody(
    const std::vector<std::tuple<uint16_t, std::u16string, std::u16string>>& entries) {
  std::vector<uint8_t> body(16, 0);  // the reserved GUID
  PutLe(&body, entries.size(), 4);
  for (const auto& [type, name, description] : entries) {
    PutLe(&body, type, 2);
    for (const std::u16string* text : {&name, &description}) {
      PutLe(&body, text->size() + 1, 2);
      for (char16_t c : *text) PutLe(&body, c, 2);
      PutLe(&body, 0, 2);
    }
    PutLe(&body, 0x01610002, 4);
  }
  return body;
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

}  // namespace
