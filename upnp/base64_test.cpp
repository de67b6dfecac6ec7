#include "upnp/base64.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Base64, EncodesTheStandardVectors) {
  EXPECT_EQ(FLibBase64_Encode(""), "");
  EXPECT_EQ(FLibBase64_Encode("f"), "Zg==");
  EXPECT_EQ(FLibBase64_Encode("fo"), "Zm8=");
  EXPECT_EQ(FLibBase64_Encode("foo"), "Zm9v");
  EXPECT_EQ(FLibBase64_Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(FLibBase64_Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(FLibBase64_Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(FLibBase64_Encode("\xFB\xFF"), "+/8=");
}

TEST(Base64, DecodesTheStandardVectorsWithOrWithoutPadding) {
  EXPECT_EQ(FLibBase64_Decode("Zg=="), "f");
  EXPECT_EQ(FLibBase64_Decode("Zm8="), "fo");
  EXPECT_EQ(FLibBase64_Decode("Zm9vYmFy"), "foobar");
  EXPECT_EQ(FLibBase64_Decode("Zm9vYg"), "foob");
  EXPECT_EQ(FLibBase64_Decode("+/8="), "\xFB\xFF");
}

TEST(Base64, SkipsCharactersOutsideTheAlphabet) {
  EXPECT_EQ(FLibBase64_Decode("Zm9v\r\nYm Fy"), "foobar");
  EXPECT_EQ(FLibBase64_Decode("!!Z*m*9*v!!"), "foo");
  EXPECT_EQ(FLibBase64_Decode("===="), "");
  // One lone character carries six bits, not a byte.
  EXPECT_EQ(FLibBase64_Decode("Zm9vY"), "foo");
}

TEST(Base64, RoundTripsEveryLengthFromExactBuffers) {
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 37 + 11));
  for (size_t n = 0; n <= data.size(); ++n) {
    const std::string encoded = FLibBase64_Encode(std::string_view(data).substr(0, n));
    EXPECT_EQ(encoded.size(), (n + 2) / 3 * 4);
    const std::vector<char> exact(encoded.begin(), encoded.end());
    EXPECT_EQ(FLibBase64_Decode(std::string_view(exact.data(), exact.size())), data.substr(0, n));
  }
}

}  // namespace
