#include "upnp/escape.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(XmlEscape, ReplacesTheFiveSpecialCharacters) {
  EXPECT_EQ(FLibXml_Escape("a\"b'c<d>e&f"), "a&quot;b&apos;c&lt;d&gt;e&amp;f");
  EXPECT_EQ(FLibXml_Escape(""), "");
  EXPECT_EQ(FLibXml_EscapedLength("\"'<>&"), 6u + 6 + 4 + 4 + 5);
  EXPECT_EQ(FLibXml_EscapedLength("\xC3\xA9"), 2u);
  std::string out = "<x>";
  FLibXml_EscapeAppend(&out, "1&2");
  EXPECT_EQ(out, "<x>1&amp;2");
}

TEST(XmlUnescape, ReversesExactlyTheFiveEntities) {
  std::string text = "a&amp;b &lt;&gt; &quot;&apos; &amp;amp; &#38; &nbsp; & &am";
  FLibXml_UnescapeInPlace(&text);
  EXPECT_EQ(text, "a&b <> \"' &amp; &#38; &nbsp; & &am");
}

TEST(XmlAndUrlUnescape, RoundTripAnyBytes) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  std::string xml = FLibXml_Escape(bytes);
  EXPECT_EQ(xml.size(), FLibXml_EscapedLength(bytes));
  FLibXml_UnescapeInPlace(&xml);
  EXPECT_EQ(xml, bytes);
  std::string url = FLibUrl_Escape(bytes);
  EXPECT_EQ(url.size(), FLibUrl_EscapedLength(bytes));
  FLibUrl_UnescapeInPlace(&url);
  EXPECT_EQ(url, bytes);
}

TEST(XmlUnescape, EntityCutAtTheEndOfTheRangeIsKept) {
  // The range stops inside "&amp;"; the bytes after it must not be consulted.
  const std::string full = "x&amp;";
  for (size_t n = 0; n <= full.size(); ++n) {
    std::vector<char> exact(full.begin(), full.begin() + static_cast<long>(n));
    const size_t length = FLibXml_UnescapeInPlace(exact.data(), exact.size());
    const std::string result(exact.data(), length);
    EXPECT_EQ(result, n == full.size() ? "x&" : full.substr(0, n));
  }
}

TEST(UrlEscape, KeepsSafeCharactersAndEncodesTheRest) {
  EXPECT_EQ(FLibUrl_Escape("a b"), "a%20b");
  EXPECT_EQ(FLibUrl_Escape("AZaz09;/?:@=+$-_.*"), "AZaz09;/?:@=+$-_.*");
  EXPECT_EQ(FLibUrl_Escape("%&#~\x7F\xFF"), "%25%26%23%7E%7F%FF");
  EXPECT_EQ(FLibUrl_Escape(std::string_view("\0", 1)), "%00");
  EXPECT_EQ(FLibUrl_EscapedLength("a b\xC3\xA9"), 1u + 3 + 1 + 3 + 3);
}

TEST(UrlUnescape, DecodesValidEscapesOnly) {
  std::string text = "a%20b%2fc%2Fd%zz%4%";
  const size_t length = FLibUrl_UnescapeInPlace(&text);
  EXPECT_EQ(length, text.size());
  EXPECT_EQ(text, "a b/c/d%zz%4%");
  text = "%00+";
  FLibUrl_UnescapeInPlace(&text);
  EXPECT_EQ(text, std::string("\0+", 2));
}

TEST(UrlUnescape, EscapeCutAtTheEndOfTheRangeIsKept) {
  const std::string full = "a%41";
  for (size_t n = 0; n <= full.size(); ++n) {
    std::vector<char> exact(full.begin(), full.begin() + static_cast<long>(n));
    const size_t length = FLibUrl_UnescapeInPlace(exact.data(), exact.size());
    const std::string result(exact.data(), length);
    EXPECT_EQ(result, n == full.size() ? "aA" : full.substr(0, n));
  }
}

}  // namespace
