#include "upnp/number.h"

#include <gtest/gtest.h>

namespace {

TEST(TextToLong, AcceptsTheWholeSigned32BitRange) {
  int32_t value = 0;
  EXPECT_EQ(FLibText_ToLong("2147483647", &value), 0);
  EXPECT_EQ(value, 2147483647);
  EXPECT_EQ(FLibText_ToLong("-2147483648", &value), 0);
  EXPECT_EQ(value, INT32_MIN);
  EXPECT_EQ(FLibText_ToLong("-0", &value), 0);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(FLibText_ToLong(" +17", &value), 0);
  EXPECT_EQ(value, 17);
}

TEST(TextToLong, RefusesOverflowAndJunkAndKeepsOutput) {
  int32_t value = 99;
  for (const char* bad : {"2147483648", "-2147483649", "99999999999999999999", "", "-", "+", "1x",
                          "12 ", "0x10", " ", "1-"}) {
    EXPECT_EQ(FLibText_ToLong(bad, &value), -1) << bad;
  }
  EXPECT_EQ(value, 99);
}

TEST(TextToULong, RefusesNegativeAndOverflow) {
  uint32_t value = 7;
  EXPECT_EQ(FLibText_ToULong("4294967295", &value), 0);
  EXPECT_EQ(value, 4294967295u);
  EXPECT_EQ(FLibText_ToULong("4294967296", &value), -1);
  EXPECT_EQ(FLibText_ToULong("-1", &value), -1);
  EXPECT_EQ(FLibText_ToULong("-0", &value), -1);
  EXPECT_EQ(FLibText_ToULong("1x", &value), -1);
  EXPECT_EQ(value, 4294967295u);
}

TEST(TextToInt64, CoversSixtyFourBitLimits) {
  int64_t s = 0;
  EXPECT_EQ(FLibText_ToInt64("-9223372036854775808", &s), 0);
  EXPECT_EQ(s, INT64_MIN);
  EXPECT_EQ(FLibText_ToInt64("9223372036854775808", &s), -1);
  uint64_t u = 0;
  EXPECT_EQ(FLibText_ToUInt64("18446744073709551615", &u), 0);
  EXPECT_EQ(u, UINT64_MAX);
  EXPECT_EQ(FLibText_ToUInt64("18446744073709551616", &u), -1);
}

TEST(TextHexToUInt64, ParsesChunkSizes) {
  uint64_t value = 0;
  EXPECT_EQ(FLibText_HexToUInt64("1aF", &value), 0);
  EXPECT_EQ(value, 0x1AFu);
  EXPECT_EQ(FLibText_HexToUInt64("FFFFFFFFFFFFFFFF", &value), 0);
  EXPECT_EQ(value, UINT64_MAX);
  EXPECT_EQ(FLibText_HexToUInt64("10000000000000000", &value), -1);
  EXPECT_EQ(FLibText_HexToUInt64("", &value), -1);
  EXPECT_EQ(FLibText_HexToUInt64("0x1", &value), -1);
  EXPECT_EQ(FLibText_HexToUInt64(" 1", &value), -1);
  EXPECT_EQ(FLibText_HexToUInt64("1g", &value), -1);
}

TEST(TextToLong, ReadsOnlyTheGivenLength) {
  // The digits after the view's end must not be taken.
  const char text[] = "12345";
  int32_t value = 0;
  EXPECT_EQ(FLibText_ToLong(std::string_view(text, 2), &value), 0);
  EXPECT_EQ(value, 12);
}

}  // namespace
