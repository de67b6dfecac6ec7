#include "upnp/number.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

// Runs `parse` on `text`; the result, or nullopt when refused with the output untouched.
template <typename T>
std::optional<T> Parse(int (*parse)(std::string_view, T*), std::string_view text) {
  T value = 42;
  if (parse(text, &value) == 0) return value;
  EXPECT_EQ(value, T{42}) << "a refused number leaves the output: " << text;
  return std::nullopt;
}

TEST(TextNumbers, AcceptsTheLimitsOfEachWidth) {
  EXPECT_EQ(Parse(FLibText_ToLong, "2147483647"), INT32_MAX);
  EXPECT_EQ(Parse(FLibText_ToLong, "-2147483648"), INT32_MIN);
  EXPECT_EQ(Parse(FLibText_ToLong, "-0"), 0);
  EXPECT_EQ(Parse(FLibText_ToLong, " +17"), 17);
  EXPECT_EQ(Parse(FLibText_ToULong, "4294967295"), UINT32_MAX);
  EXPECT_EQ(Parse(FLibText_ToInt64, "-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(Parse(FLibText_ToUInt64, "18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(Parse(FLibText_HexToUInt64, "1aF"), 0x1AFu);
  EXPECT_EQ(Parse(FLibText_HexToUInt64, "FFFFFFFFFFFFFFFF"), UINT64_MAX);
  // The digits after the view's end must not be taken.
  EXPECT_EQ(Parse(FLibText_ToLong, std::string_view("12345", 2)), 12);
}

TEST(TextNumbers, RefusesOverflowAndJunk) {
  for (const char* bad : {"2147483648", "-2147483649", "99999999999999999999", "", "-", "+", "1x",
                          "12 ", "0x10", " ", "1-"}) {
    EXPECT_FALSE(Parse(FLibText_ToLong, bad)) << bad;
  }
  for (const char* bad : {"4294967296", "-1", "-0", "1x"}) {
    EXPECT_FALSE(Parse(FLibText_ToULong, bad)) << bad;
  }
  EXPECT_FALSE(Parse(FLibText_ToInt64, "9223372036854775808"));
  EXPECT_FALSE(Parse(FLibText_ToUInt64, "18446744073709551616"));
  for (const char* bad : {"10000000000000000", "", "0x1", " 1", "1g"}) {
    EXPECT_FALSE(Parse(FLibText_HexToUInt64, bad)) << bad;
  }
}

}  // namespace
