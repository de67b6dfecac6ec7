#include "controlpoint/renderer_description.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace controlpoint {
namespace {

std::string Description(const std::string& device) {
  return "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>" +
         device + "</device></root>";
}

// A missing name and an oversized body are proven against hand-made renderers in the
// network namespace.
TEST(RendererDescriptionTest, ReadsTheRootDevicesNameOrRefusesTheBody) {
  struct Case {
    std::string body;
    std::optional<std::string> name;
  } cases[] = {
      {Description("<friendlyName>Tom &amp; Jerry's TV</friendlyName><UDN>uuid:root-1</UDN>"
                   "<deviceList><device><friendlyName>In</friendlyName></device></deviceList>"),
       "Tom & Jerry's TV"},
      {Description("<friendlyName/>"), "?????????????????"},
      {Description("<friendlyName>Kitchen</friendlyName>") + std::string(1, '\0') + "<<<",
       "Kitchen"},  // parsing stops at a zero byte
      {"<root><device>", std::nullopt},
      {Description("<friendlyName>&bogus;</friendlyName>"), std::nullopt},
  };
  for (const Case& c : cases) {
    auto parsed = ParseRendererDescription(c.body);
    ASSERT_EQ(parsed.has_value(), c.name.has_value()) << c.body;
    if (parsed) {
      EXPECT_EQ(parsed->friendlyName, *c.name) << c.body;
    }
  }
  EXPECT_EQ(ParseRendererDescription(cases[0].body)->udn, "uuid:root-1");
}

}  // namespace
}  // namespace controlpoint
