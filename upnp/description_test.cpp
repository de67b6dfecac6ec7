#include "upnp/description.h"

#include <gtest/gtest.h>

#include "upnp/testing/device_test_util.h"
#include "upnp/xml.h"

namespace {

using device_test::DeviceOnChain;
using device_test::Request;

bool WellNested(std::string_view text) {
  FLibXmlDocumentPtr document = FLibXml_Read(text);
  return document && FLibXml_Pair(*document) == kXmlPairOk;
}

TEST(DescriptionTextTest, IsOneWellFormedLineWithTheNameEscaped) {
  std::string text = UpnpDescription_Format("Tom & Jerry <Music>", "S1", "abc-123");
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_TRUE(WellNested(text));
  EXPECT_NE(text.find("<friendlyName>Tom &amp; Jerry &lt;Music&gt;</friendlyName>"),
            std::string::npos);
  EXPECT_NE(text.find("<serialNumber>S1</serialNumber><UDN>uuid:abc-123</UDN>"), std::string::npos);
  EXPECT_NE(text.find("<modelNumber /><serialNumber>"), std::string::npos);
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?><root ", 0), 0u);
  size_t cm = text.find("<SCPDURL>ConnectionManager/scpd.xml</SCPDURL>");
  size_t cd = text.find("<SCPDURL>ContentDirectory/scpd.xml</SCPDURL>");
  ASSERT_NE(cm, std::string::npos);
  ASSERT_NE(cd, std::string::npos);
  EXPECT_LT(cm, cd) << "ConnectionManager is listed first";
}

class DescriptionHttpTest : public ::testing::Test {
 protected:
  DeviceOnChain device_{{}, "A & B"};
};

TEST_F(DescriptionHttpTest, UnknownPathsAndMethodsGetEmptyErrors) {
  EXPECT_EQ(device_.Exchange(Request("GET", "/index.html"), "\r\n\r\n"),
            "HTTP/1.1 404 File Not Found\r\nServer: WINDOWS, UPnP/1.0, Ferrule "
            "Lattice/1.0.1922\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(device_.Exchange(Request("GET", "/ContentDirectory/SCPD.xml"), "\r\n\r\n")
                .rfind("HTTP/1.1 404 File Not Found\r\n", 0),
            0u);
  EXPECT_EQ(device_.Exchange(Request("BREW", "/"), "\r\n\r\n"),
            "HTTP/1.1 400 Bad Request\r\nServer: WINDOWS, UPnP/1.0, Ferrule "
            "Lattice/1.0.1922\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(device_.Exchange(Request("get", "/"), "\r\n\r\n").rfind("HTTP/1.1 400 Bad Request", 0),
            0u)
      << "methods are compared case-sensitively";
}

}  // namespace
