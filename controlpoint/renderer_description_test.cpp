#include "controlpoint/renderer_description.h"

#include <gtest/gtest.h>

#include <string>

namespace controlpoint {
namespace {

std::string Description(const std::string& device) {
  return "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
         "<specVersion><major>1</major><minor>0</minor></specVersion><device>" +
         device + "</device></root>";
}

TEST(RendererDescriptionTest, ReadsTheRootDevicesNameAndUdn) {
  auto parsed = ParseRendererDescription(Description(
      "<deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>"
      "<friendlyName>Tom &amp; Jerry's TV</friendlyName><UDN>uuid:root-1</UDN>"
      "<deviceList><device><friendlyName>Inner</friendlyName><UDN>uuid:inner</UDN></device>"
      "</deviceList>"));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->friendlyName, "Tom & Jerry's TV");
  EXPECT_EQ(parsed->udn, "uuid:root-1");
}

TEST(RendererDescriptionTest, MissingOrEmptyNameGivesTheUnknownName) {
  for (const char* device : {"<UDN>uuid:a</UDN>", "<friendlyName></friendlyName><UDN>uuid:a</UDN>",
                             "<friendlyName/><UDN>uuid:a</UDN>"}) {
    auto parsed = ParseRendererDescription(Description(device));
    ASSERT_TRUE(parsed.has_value()) << device;
    EXPECT_EQ(parsed->friendlyName, "?????????????????") << device;
    EXPECT_EQ(parsed->udn, "uuid:a");
  }
}

TEST(RendererDescriptionTest, MalformedBodiesAreRefused) {
  for (const std::string& body :
       {std::string(), std::string("not xml at all"), std::string("<root><device>"),
        std::string("<root><friendlyName>x</root>"),
        Description("<friendlyName>&bogus;</friendlyName>")}) {
    EXPECT_FALSE(ParseRendererDescription(body).has_value()) << body;
  }
}

TEST(RendererDescriptionTest, ParsingStopsAtAZeroByte) {
  std::string body = Description("<friendlyName>Kitchen</friendlyName>");
  body.push_back('\0');
  body += "<<< trailing garbage";
  auto parsed = ParseRendererDescription(body);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->friendlyName, "Kitchen");
  EXPECT_EQ(parsed->udn, "");
}

}  // namespace
}  // namespace controlpoint
