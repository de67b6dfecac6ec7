#include "upnp/text_split.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Pieces = std::vector<std::string>;

Pieces AsStrings(const FLibSplitList& list) { return Pieces(list.begin(), list.end()); }

TEST(TextSplit, KeepsEmptyPiecesBetweenAndAroundDelimiters) {
  EXPECT_EQ(AsStrings(FLibText_Split("a,,b", ",")), (Pieces{"a", "", "b"}));
  EXPECT_EQ(AsStrings(FLibText_Split(",a,", ",")), (Pieces{"", "a", ""}));
  EXPECT_EQ(AsStrings(FLibText_Split("", ",")), (Pieces{""}));
  EXPECT_EQ(AsStrings(FLibText_Split("abc", "")), (Pieces{"abc"}));
}

TEST(TextSplit, MultiByteDelimiterDoesNotOverlap) {
  EXPECT_EQ(AsStrings(FLibText_Split("a\r\nb\r\n\r\nc", "\r\n")), (Pieces{"a", "b", "", "c"}));
  // "aaa" holds "aa" once from the left, leaving "a".
  EXPECT_EQ(AsStrings(FLibText_Split("aaa", "aa")), (Pieces{"", "a"}));
  // A delimiter cut short at the end is no delimiter.
  EXPECT_EQ(AsStrings(FLibText_Split("a\r", "\r\n")), (Pieces{"a\r"}));
}

TEST(TextSplit, PiecesJoinBackToTheInputAtEveryLength) {
  // Each prefix of the text, in a buffer of exactly its size, splits into pieces that
  // rejoin to it; a read past the end would trip the address sanitizer.
  const std::string text = "a::b:c::::d:";
  for (size_t n = 0; n <= text.size(); ++n) {
    const std::vector<char> exact(text.begin(), text.begin() + static_cast<long>(n));
    const FLibSplitList pieces = FLibText_Split(std::string_view(exact.data(), exact.size()), "::");
    std::string joined;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) joined += "::";
      joined += pieces[i];
    }
    EXPECT_EQ(joined, text.substr(0, n));
  }
}

TEST(TextTrim, RemovesBlanksAndLineBreaksAtBothEnds) {
  EXPECT_EQ(FLibText_Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(FLibText_Trim("   "), "");
  EXPECT_EQ(FLibText_Trim(""), "");
}

}  // namespace
