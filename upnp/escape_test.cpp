#include "upnp/escape.h"

#include <gtest/gtest.h>

namespace {

TEST(XmlEscape, ReplacesAndRestoresExactlyTheFiveSpecialCharacters) {
  EXPECT_EQ(FLibXml_Escape("a\"b'c<d>e&f"), "a&quot;b&apos;c&lt;d&gt;e&amp;f");
  EXPECT_EQ(FLibXml_EscapedLength("\"'<>&\xC3\xA9"), 6u + 6 + 4 + 4 + 5 + 2);
  std::string out = "<x>";
  FLibXml_EscapeAppend(&out, "1&2");
  EXPECT_EQ(out, "<x>1&amp;2");
  std::string text = "a&amp;b &lt;&gt; &quot;&apos; &amp;amp; &#38; &nbsp; & &am";
  FLibXml_UnescapeInPlace(&text);
  EXPECT_EQ(text, "a&b <> \"' &amp; &#38; &nbsp; & &am");
}

TEST(UrlEscape, KeepsSafeCharactersAndDecodesValidEscapesOnly) {
  EXPECT_EQ(FLibUrl_Escape("AZaz09;/?:@=+$-_.* "), "AZaz09;/?:@=+$-_.*%20");
  EXPECT_EQ(FLibUrl_Escape(std::string_view("%&#~\x7F\xFF\0", 7)), "%25%26%23%7E%7F%FF%00");
  std::string text = "a%20b%2fc%2Fd%zz%4%%00+";
  const size_t length = FLibUrl_UnescapeInPlace(&text);
  EXPECT_EQ(length, text.size());
  EXPECT_EQ(text, std::string("a b/c/d%zz%4%\0+", 15));
}

}  // namespace
