#include "controlpoint/renderer_text.h"

#include <gtest/gtest.h>

namespace controlpoint {
namespace {

TEST(RendererTextTest, AddressesParseStrictlyAndListLinesKeepTheLocationPath) {
  EXPECT_EQ(ParseDottedQuad("192.168.1.20"), 0xC0A80114u);
  EXPECT_EQ(ParseDottedQuad("255.255.255.0"), 0xFFFFFF00u);
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", "1..3.4", "-1.2.3.4",
                          "99999999999999999999.1.1.1"}) {
    EXPECT_FALSE(ParseDottedQuad(bad).has_value()) << bad;
  }
  // A location's address is read from the URL start.
  EXPECT_EQ(LocationIpv4("http://10.79.0.1:49494/description.xml"), 0x0A4F0001u);
  for (const char* bad : {"http://renderer.local:80/d.xml", "https://10.0.0.1/", "http://10.0.0/",
                          "http://4294967296.0.0.1/", ""}) {
    EXPECT_FALSE(LocationIpv4(bad).has_value()) << bad;
  }
  // The list line keeps the location up to its last slash.
  EXPECT_EQ(RendererListLine("http://10.0.0.5:80/dev/desc.xml", "TV"),
            "http://10.0.0.5:80/dev/web/IMedia      TV");
  EXPECT_EQ(RendererListLine("nothing", "X"), "nothingweb/IMedia      X");
}

TEST(RendererTextTest, NetworkFolderNamesOnlyThePlainHost) {
  struct Case {
    const char* location;
    const char* url;
  } cases[] = {
      {"http://10.0.0.5:49494/description.xml", "smb://10.0.0.5/"},
      {"HTTP://tv-box.local/desc.xml", "smb://tv-box.local/"},
      {"http://[fe80::1]:8080/d.xml", "smb://[fe80::1]/"},
      {"http://[zz::1]/", ""},
      {"http://[fe80::1/", ""},
      {"ftp://10.0.0.5/", ""},
      {"http:/", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(RendererNetworkFolderUrl(c.location), c.url) << c.location;
}

}  // namespace
}  // namespace controlpoint
