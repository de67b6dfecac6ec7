#include "upnp/ssdp.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

UpnpSsdpIdentity Identity() {
  UpnpSsdpIdentity identity;
  identity.Identifier = "abc-123";
  identity.MaxAge = 1800;
  identity.WebPort = 52000;
  return identity;
}

constexpr uint32_t kIf = 0xC0A80105;  // 192.168.1.5

std::string Search(const std::string& headers,
                   const std::string& startLine = "M-SEARCH * HTTP/1.1") {
  return startLine + "\r\nHOST: 239.255.255.250:1900\r\n" + headers + "\r\n";
}

// Header names are matched in any case; anything but a well-formed search is dropped.
TEST(SsdpSearchTest, ParsesOnlyWellFormedSearches) {
  UpnpSsdpSearch search;
  ASSERT_TRUE(UpnpSsdp_ParseSearch(Search("man: \"ssdp:discover\"\r\nmx: 120\r\nst: ssdp:all\r\n"),
                                   &search));
  EXPECT_EQ(search.Target, "ssdp:all");
  EXPECT_EQ(search.Mx, 10u);
  const std::string good = "MAN: \"ssdp:discover\"\r\nMX: 2\r\nST: ssdp:all\r\n";
  const std::string bad[] = {
      Search(good, "NOTIFY * HTTP/1.1"),
      Search("MAN: \"ssdp:discover\"\r\nMX: -1\r\nST: a\r\n"),
      Search("MAN: \"ssdp:discover\"\r\nMX: 1\r\n"),
      Search("MAN: \"ssdp:discover\"\r\nST: a\r\n"),
      Search("MAN: ssdp:discover\r\nMX: 1\r\nST: a\r\n"),
      Search(good, "M-SEARCH * HTTP/1.0"),
      std::string("M-SEARCH * HTTP/1.1\r\nMX: 1\0\r\n", 29),
  };
  for (const std::string& message : bad)
    EXPECT_FALSE(UpnpSsdp_ParseSearch(message, &search)) << message;
}

// A target matches whole, and a device type matches any version up to ours.
TEST(SsdpRepliesTest, AnswersOnlyTargetsThatMatchWhole) {
  UpnpSsdpIdentity id = Identity();
  const std::pair<const char*, size_t> cases[] = {
      {"uuid:abc-123", 1},
      {"urn:schemas-upnp-org:device:MediaServer:0", 1},
      {"urn:schemas-upnp-org:device:MediaServer:1x", 0},
      {"urn:schemas-upnp-org:device:MediaServer:", 0},
      {"ssdp:all ", 0},
      {"uuid:abc-1234", 0},
  };
  for (const auto& [target, count] : cases)
    EXPECT_EQ(UpnpSsdp_SearchReplies(id, target, kIf).size(), count) << target;
  std::vector<std::string> v0 =
      UpnpSsdp_SearchReplies(id, "urn:schemas-upnp-org:device:MediaServer:0", kIf);
  ASSERT_EQ(v0.size(), 1u);
  EXPECT_NE(v0[0].find("USN: uuid:abc-123::urn:schemas-upnp-org:device:MediaServer:1\r\n"),
            std::string::npos);
  EXPECT_NE(v0[0].find("ST: urn:schemas-upnp-org:device:MediaServer:0\r\n"), std::string::npos);
}

}  // namespace
