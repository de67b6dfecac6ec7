#include "upnp/base64.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {"\xFB\xFF", "+/8="}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(FLibBase64_Encode(plain), encoded) << encoded;
    EXPECT_EQ(FLibBase64_Decode(encoded), plain) << encoded;
  }
  EXPECT_EQ(FLibBase64_Decode("Zm9vYg"), "foob");  // padding is optional
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
