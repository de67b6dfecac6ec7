#include "upnp/url.h"

#include <gtest/gtest.h>

namespace {

struct Split {
  int Result = 0;
  std::string Ip = "unset";
  uint16_t Port = 1;
  std::string Path = "unset";
};

Split SplitUri(std::string_view uri) {
  Split s;
  s.Result = FLibUrl_Split(uri, &s.Ip, &s.Port, &s.Path);
  return s;
}

TEST(UrlSplit, SplitsHostPortAndPathWithDefaults) {
  const struct {
    const char* Uri;
    const char* Ip;
    uint16_t Port;
    const char* Path;
  } cases[] = {
      {"http://192.168.1.20:49152/upnp/event?x=1", "192.168.1.20", 49152, "/upnp/event?x=1"},
      {"http://10.0.0.1/cb", "10.0.0.1", 80, "/cb"},
      {"http://10.0.0.1", "10.0.0.1", 80, "/"},
      {"http://10.0.0.1:8080", "10.0.0.1", 8080, "/"},
      {"http://host/a:b", "host", 80, "/a:b"},  // a colon in the path is not a port
      {"http://[fe80::1]:1900/x", "fe80::1", 1900, "/x"},
  };
  for (const auto& c : cases) {
    const Split s = SplitUri(c.Uri);
    EXPECT_EQ(s.Result, 0) << c.Uri;
    EXPECT_EQ(s.Ip, c.Ip) << c.Uri;
    EXPECT_EQ(s.Port, c.Port) << c.Uri;
    EXPECT_EQ(s.Path, c.Path) << c.Uri;
  }
}

TEST(UrlSplit, RefusesBadAddressesAndLeavesOutputs) {
  for (const char* bad :
       {"10.0.0.1/x", "http://", "http:///x", "http://:80/x", "http://h:/x", "http://h:0/",
        "http://h:65536/", "http://h:99999999999999999999/", "http://h:-1/", "http://h:+80/",
        "http://h: 80/", "http://h:8x/", "http://[::1/", "http://[::1]x/", "http://[]:80/"}) {
    const Split s = SplitUri(bad);
    EXPECT_EQ(s.Result, -1) << bad;
    EXPECT_EQ(s.Ip, "unset") << bad;
    EXPECT_EQ(s.Port, 1) << bad;
  }
}

TEST(UrlSplit, EveryTruncationIsSafe) {
  const std::string uri = "http://[::1]:8080/a/b";
  for (size_t n = 0; n <= uri.size(); ++n) {
    const std::vector<char> exact(uri.begin(), uri.begin() + static_cast<long>(n));
    Split s;
    s.Result = FLibUrl_Split(std::string_view(exact.data(), exact.size()), &s.Ip, &s.Port, &s.Path);
    if (s.Result == 0) {
      EXPECT_EQ(s.Ip, "::1");
    }
  }
}

}  // namespace
