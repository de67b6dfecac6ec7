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
