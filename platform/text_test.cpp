#include "platform/text.h"

#include "gtest/gtest.h"

namespace platform {
namespace {

TEST(TextTest, RecognisesWellFormedUtf8) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_TRUE(IsValidUtf8("é中😀"));
  EXPECT_FALSE(IsValidUtf8("\xC0\x80"));          // Overlong.
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // Surrogate.
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // Past U+10FFFF.
  EXPECT_FALSE(IsValidUtf8("\xE4\xB8"));          // Cut off.
  EXPECT_FALSE(IsValidUtf8("caf\xE9"));
}

TEST(TextTest, CapNeverSplitsASequence) {
  EXPECT_EQ(Utf8Cap("abcdef", 4), "abc");
  EXPECT_EQ(Utf8Cap("abc", 4), "abc");
  EXPECT_EQ(Utf8Cap("ab中", 5), "ab");  // 中 needs three bytes; only two fit.
  EXPECT_EQ(Utf8Cap("ab中", 6), "ab中");
  EXPECT_EQ(Utf8Cap("abc", 0), "");
  std::string text = "xé";
  Utf8CapInPlace(text, 3);
  EXPECT_EQ(text, "x");
}

}  // namespace
}  // namespace platform
