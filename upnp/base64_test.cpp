#include "upnp/base64.h"

#include <gtest/gtest.h>

namespace {

TEST(Base64, EncodesTheStandardVectorsWithPadding) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {"\xFB\xFF", "+/8="}};
  for (const auto& [plain, encoded] : vectors) EXPECT_EQ(FLibBase64_Encode(plain), encoded);
}

}  // namespace
