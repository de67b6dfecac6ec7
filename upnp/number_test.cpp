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

// Overflow and junk in each caller's own use are refused by the reader, SOAP, SSDP and
// GENA cases; the exact limits of each width are checked here.
TEST(TextNumbers, AcceptsTheLimitsOfEachWidthAndNothingBeyond) {
  EXPECT_EQ(Parse(FLibText_ToLong, "2147483647"), INT32_MAX);
  EXPECT_EQ(Parse(FLibText_ToLong, "-2147483648"), INT32_MIN);
  EXPECT_EQ(Parse(FLibText_ToULong, "4294967295"), UINT32_MAX);
  EXPECT_EQ(Parse(FLibText_ToInt64, "-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(Parse(FLibText_ToUInt64, "18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(Parse(FLibText_HexToUInt64, "FFFFFFFFFFFFFFFF"), UINT64_MAX);
  // The digits after the view's end must not be taken.
  EXPECT_EQ(Parse(FLibText_ToLong, std::string_view("12345", 2)), 12);
  EXPECT_FALSE(Parse(FLibText_ToLong, "2147483648"));
  EXPECT_FALSE(Parse(FLibText_ToLong, "-2147483649"));
  EXPECT_FALSE(Parse(FLibText_ToULong, "-0"));
  EXPECT_FALSE(Parse(FLibText_ToInt64, "9223372036854775808"));
  EXPECT_FALSE(Parse(FLibText_ToUInt64, "18446744073709551616"));
  EXPECT_FALSE(Parse(FLibText_HexToUInt64, "10000000000000000"));
}

// Blanks and a sign lead as in the C library; digits stop at nothing else.
TEST(TextNumbers, LeadingBlanksAndSignsAreTakenAndJunkIsNot) {
  EXPECT_EQ(Parse(FLibText_ToLong, " \t\n\v\f\r+17"), 17);
  EXPECT_EQ(Parse(FLibText_ToInt64, "-0"), 0);
  EXPECT_EQ(Parse(FLibText_HexToUInt64, "aB09fF"), 0xAB09FFu);
  for (std::string_view junk : {"", " ", "-", "1 ", "1x", "0x10", "+-1"}) {
    EXPECT_FALSE(Parse(FLibText_ToLong, junk)) << junk;
  }
  EXPECT_FALSE(Parse(FLibText_HexToUInt64, "g"));
  EXPECT_FALSE(Parse(FLibText_HexToUInt64, "+1"));
}

}  // namespace
