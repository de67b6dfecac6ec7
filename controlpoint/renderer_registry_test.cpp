#include "controlpoint/renderer_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "controlpoint/renderer_limits.h"

namespace controlpoint {
namespace {

using Status = DescriptionFetch::Status;

constexpr auto kStart = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));

std::string Description(const std::string& name, const std::string& udn) {
  return "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
         "<friendlyName>" +
         name + "</friendlyName><UDN>" + udn + "</UDN></device></root>";
}

RendererDiscovery Alive(const std::string& id, const std::string& location = "") {
  RendererDiscovery event;
  event.deviceId = id;
  event.deviceType = "urn:schemas-upnp-org:device:MediaRenderer:1";
  event.location = location.empty() ? "http://10.0.0.5:49494/" + id + ".xml" : location;
  return event;
}

class RendererRegistryTest : public ::testing::Test {
 protected:
  RendererRegistryTest() : registry_([this] { return now_.load(); }) { registry_.Open(0, 0); }

  // Serves "NAME" for every URL ".../NAME.xml" and counts its calls.
  DescriptionFetcher Serving() {
    return [this](const std::string& url) {
      ++fetches_;
      size_t slash = url.rfind('/');
      std::string name = url.substr(slash + 1, url.size() - slash - 5);
      return DescriptionFetch{Status::kOk, 0, Description(name, "uuid:desc-" + name)};
    };
  }
  void See(const std::string& id) { registry_.HandleDiscovery(Alive(id), Serving()); }
  std::vector<RendererEntry> Table() {
    std::vector<RendererEntry> table;
    registry_.CopyRenderers(&table);
    return table;
  }

  std::atomic<std::chrono::system_clock::time_point> now_{kStart};
  RendererRegistry registry_;
  std::atomic<int> fetches_{0};
};

TEST_F(RendererRegistryTest, FailedDownloadsLeaveNoTraceAndAreRetried) {
  const DescriptionFetch failures[] = {
      {Status::kOpenFailed, -204, ""},
      {Status::kOk, 0, std::string(renderer_limits::kDescriptionBufferSize, ' ')},
      {Status::kOk, 0, "<root><friendlyName>x</root>"},
      {Status::kOk, 0, Description("&bogus;", "uuid:entity")},
  };
  for (const DescriptionFetch& failure : failures) {
    registry_.HandleDiscovery(Alive("uuid:bad"), [&](const std::string&) { return failure; });
    EXPECT_TRUE(Table().empty()) << failure.body.size();
  }
  // Nothing is left pending, and a description one byte short of the buffer is still read,
  // its entities decoded; a zero byte ends it, as it would a C string.
  std::string body = Description("Tom &amp; Jerry's", "uuid:p") + '\0' + "<<<";
  body.insert(body.find("</root>"), renderer_limits::kDescriptionBufferSize - 1 - body.size(), ' ');
  registry_.HandleDiscovery(Alive("uuid:bad"), [&](const std::string&) {
    return DescriptionFetch{Status::kOk, 0, body};
  });
  ASSERT_EQ(Table().size(), 1u);
  EXPECT_EQ(Table()[0].friendlyName, "Tom & Jerry's");
}

TEST_F(RendererRegistryTest, FullTableRefusesUntilRemoveMakesRoom) {
  for (size_t i = 0; i < renderer_limits::kMaxRenderers; ++i) See("uuid:r" + std::to_string(i));
  See("uuid:extra");
  EXPECT_FALSE(registry_.FindRenderer("uuid:extra").has_value());
  EXPECT_FALSE(registry_.RemoveRenderer(renderer_limits::kMaxRenderers));
  ASSERT_TRUE(registry_.RemoveRenderer(1));
  EXPECT_FALSE(registry_.FindRenderer("uuid:r1").has_value());
  See("uuid:extra");
  auto table = Table();
  ASSERT_EQ(table.size(), renderer_limits::kMaxRenderers);
  EXPECT_EQ(table[1].deviceId, "uuid:r2");  // the table shifted down
  EXPECT_EQ(table.back().deviceId, "uuid:extra");
}

}  // namespace
}  // namespace controlpoint
