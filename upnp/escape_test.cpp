#include "upnp/escape.h"

#include <gtest/gtest.h>

namespace {

TEST(UrlEscape, KeepsSafeCharactersAndDecodesValidEscapesOnly) {
  EXPECT_EQ(FLibUrl_Escape("AZaz09;/?:@=+$-_.* "), "AZaz09;/?:@=+$-_.*%20");
  EXPECT_EQ(FLibUrl_Escape(std::string_view("%&#~\x7F\xFF\0", 7)), "%25%26%23%7E%7F%FF%00");
  std::string text = "a%20b%2fc%2Fd%zz%4%%00+";
  const size_t length = FLibUrl_UnescapeInPlace(&text);
  EXPECT_EQ(length, text.size());
  EXPECT_EQ(text, std::string("a b/c/d%zz%4%\0+", 15));
}

}  // namespace
