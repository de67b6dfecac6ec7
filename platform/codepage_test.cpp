// The text conversions and UTF-8 checks of codepage.h and text.h. Random bytes through
// every conversion are the fuzzer's part (text_convert_fuzzer).
#include "platform/codepage.h"

#include <string>

#include "gtest/gtest.h"
#include "platform/limits.h"
#include "platform/text.h"

namespace platform {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(CodePageTest, DecodesTheCodePagesAndReplacesInvalidBytes) {
  const std::string nul("a\0b", 3);
  const struct {
    std::string bytes;
    int codePage;
    std::string text;
  } cases[] = {
      // "中文" in Big5 and in GBK, "日本語" and a half-width katakana in Shift JIS.
      {"\xA4\xA4\xA4\xE5", 950, "中文"},
      {"\xD6\xD0\xCE\xC4", 936, "中文"},
      {"\x93\xFA\x96\x7B\x8C\xEA", 932, "日本語"},
      {"\xB1", 932, "ｱ"},
      {"\x80 caf\xE9 \x93q\x94", 1252, "€ café “q”"},
      {"\xC0\xEB", 1251, "Ал"},
      {nul, 950, nul},
      {"a\x81z", 1252, "a" + kFffd + "z"},      // 0x81 has no character in 1252
      {"\xA4\xA4\xA4", 950, "中" + kFffd},      // a lead byte cut off at the end
      {"\x93 A\x93\xFA", 932, kFffd + " A日"},  // a lead byte without its trail byte
      {"ab\xE9", 12345, "ab" + kFffd},          // unknown code page: ASCII only
      {"ok \xC3\xA9", 65001, "ok é"},
      {"\xC0\x80x\xED\xA0\x80", 65001, kFffd + kFffd + "x" + kFffd + kFffd + kFffd},
  };
  for (const auto& c : cases) EXPECT_EQ(CodePageToUtf8(c.bytes, c.codePage), c.text) << c.text;
  // Valid UTF-8 is kept whatever the code page; other 8-bit text follows it.
  EXPECT_EQ(Text8ToUtf8("Grüße", 932), "Grüße");
  EXPECT_EQ(Text8ToUtf8("caf\xE9"), "café");
  SetTextCodePage(936);
  EXPECT_EQ(Text8ToUtf8("\xD6\xD0\xCE\xC4"), "中文");
  SetTextCodePage(kDefaultTextCodePage);
}

TEST(Utf16Test, BothByteOrdersSurrogatesBrokenInputAndTheWayBack) {
  const struct {
    std::string bytes;
    bool bigEndian;
    std::string text;
  } cases[] = {
      {std::string("A\0\x3D\xD8\x00\xDE\x2D\x4E", 8), false, "A😀中"},
      {std::string("\0A\xD8\x3D\xDE\x00\x4E\x2D", 8), true, "A😀中"},
      {std::string("\x3D\xD8\x42\0", 4), false, kFffd + "B"},  // a lone high surrogate
      {std::string("\x00\xDC", 2), false, kFffd},              // a lone low one
      {std::string("A\0\x3D\xD8", 4), false, "A" + kFffd},     // a pair cut off
      {std::string("A\0B", 3), false, "A" + kFffd},            // an odd byte
  };
  for (const auto& c : cases) EXPECT_EQ(Utf16ToUtf8(c.bytes, c.bigEndian), c.text) << c.text;
  std::string text = "unchanged";
  EXPECT_TRUE(DecodeUtf16WithBom(std::string("\xFF\xFE[\0e\0n\0]\0", 10), &text));
  EXPECT_EQ(text, "[en]");
  EXPECT_TRUE(DecodeUtf16WithBom(std::string("\xFE\xFF\0[\0j", 6), &text));
  EXPECT_EQ(text, "[j");
  EXPECT_FALSE(DecodeUtf16WithBom(std::string("[\0e\0", 4), &text));
  EXPECT_FALSE(DecodeUtf16WithBom("\xFF", &text));
  EXPECT_EQ(text, "[j");
  EXPECT_EQ(Utf8ToUtf16LE("A😀"), std::string("A\0\x3D\xD8\x00\xDE", 6));
  EXPECT_EQ(Utf8ToUtf16LE("a\xFF"), std::string("a\0\xFD\xFF", 4));
}

TEST(TextTest, RecognisesWellFormedUtf8AndCapsNeverSplitASequence) {
  EXPECT_TRUE(IsValidUtf8("é中😀"));
  // Overlong, a surrogate, past U+10FFFF, cut off, Latin-1.
  for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE4\xB8", "caf\xE9"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
  }
  EXPECT_EQ(Utf8Cap("ab中", 5), "ab");  // 中 needs three bytes; only two fit.
  EXPECT_EQ(Utf8Cap("ab中", 6), "ab中");
}

}  // namespace
}  // namespace platform
