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

TEST(DescriptionTextTest, ScpdsHaveTheirExactSizesAndStoredHeads) {
  EXPECT_EQ(UpnpDescription_ConnectionManagerScpd().size(), 3395u);
  EXPECT_EQ(UpnpDescription_ContentDirectoryScpd().size(), 5116u);
  EXPECT_TRUE(WellNested(UpnpDescription_ConnectionManagerScpd()));
  EXPECT_TRUE(WellNested(UpnpDescription_ContentDirectoryScpd()));
  std::string_view response = UpnpDescription_ContentDirectoryResponse();
  const std::string head =
      "HTTP/1.1 200  OK\r\nCONTENT-TYPE:  text/xml; charset=\"utf-8\"\r\nServer: WINDOWS, "
      "UPnP/1.0, Ferrule Lattice/1.0.1922\r\nContent-Length: 5116\r\n\r\n";
  EXPECT_EQ(response.substr(0, head.size()), head);
  EXPECT_EQ(response.substr(head.size()), UpnpDescription_ContentDirectoryScpd());
  EXPECT_NE(UpnpDescription_ConnectionManagerResponse().find("Content-Length: 3395\r\n\r\n<?xml"),
            std::string_view::npos);
  std::string_view cd = UpnpDescription_ContentDirectoryScpd();
  EXPECT_NE(cd.find("<allowedValue>BrowseMetadata</allowedValue><allowedValue>"
                    "BrowseDirectChildren</allowedValue>"),
            std::string_view::npos);
  EXPECT_NE(cd.find("<stateVariable sendEvents=\"yes\"><name>SystemUpdateID</name><dataType>ui4"),
            std::string_view::npos);
}

class DescriptionHttpTest : public ::testing::Test {
 protected:
  DeviceOnChain device_{{}, "A & B"};
};

TEST_F(DescriptionHttpTest, GetRootStreamsTheDescriptionChunked) {
  std::string response = device_.Exchange(Request("GET", "/"), "0\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(response.find("\r\nCONTENT-TYPE:  text/xml; charset=\"utf-8\"\r\nServer: WINDOWS, "
                          "UPnP/1.0, Ferrule Lattice/1.0.1922"),
            std::string::npos);
  EXPECT_EQ(device_test::Dechunk(response), device_.Device()->Description);
  EXPECT_NE(device_.Device()->Description.find("<friendlyName>A &amp; B</friendlyName>"),
            std::string::npos);
}

TEST_F(DescriptionHttpTest, Http10GetRootIsUnframedAndClosed) {
  runtime_test::Client client(device_.Port());
  client.Send("GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(client.WaitClosed());
  std::string& response = client.Received();
  size_t body = response.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(response.substr(body + 4), device_.Device()->Description);
}

TEST_F(DescriptionHttpTest, ScpdIsTheStoredResponse) {
  std::string response = device_.Exchange(Request("GET", "/ContentDirectory/scpd.xml"), "</scpd>");
  EXPECT_EQ(response, UpnpDescription_ContentDirectoryResponse());
  response = device_.Exchange(Request("GET", "/ConnectionManager/scpd.xml"), "</scpd>");
  EXPECT_EQ(response, UpnpDescription_ConnectionManagerResponse());
}

TEST_F(DescriptionHttpTest, HeadGivesHeadersWithoutBody) {
  runtime_test::Client client(device_.Port());
  client.Send(Request("HEAD", "/"));
  std::string response = client.ReadUntilText("\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(response.find("CONTENT-TYPE:  text/xml"), std::string::npos);
  // No body bytes follow the head: the next answer on the connection starts right after.
  client.Send(Request("HEAD", "/ContentDirectory/scpd.xml"));
  std::string both = client.ReadUntil(
      [](const std::string& r) { return runtime_test::CountOf(r, "\r\n\r\n") == 2; });
  size_t second = both.find("\r\n\r\n") + 4;
  EXPECT_EQ(both.substr(second).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(both.find("<root"), std::string::npos);
}

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
