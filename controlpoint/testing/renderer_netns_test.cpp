// The renderer control point against real renderers on a private network. Run only by
// renderer_netns_test.py inside its namespace, which plays three hand-made renderers
// (see there); this program starts a real one, gmediarender, itself.
#include <dirent.h>
#include <gtest/gtest.h>
#include <upnp.h>

#include <optional>
#include <string>
#include <vector>

#include "controlpoint/renderer_control_point.h"
#include "controlpoint/renderer_page.h"
#include "platform/process.h"
#include "platform/testing/test_support.h"

namespace controlpoint {
namespace {

using platform::testing::WaitUntil;

const std::string kRealId = "uuid:5e1f0a7c-0d6b-4c1e-9f3a-2b7c8d9e0f11";
const std::string kNamelessId = "uuid:orvex-fake-noname";
const std::string kBigId = "uuid:orvex-fake-big";
const std::string kSlowId = "uuid:orvex-fake-slow";
const std::string kFarId = "uuid:orvex-fake-far";
constexpr uint64_t kFindMs = 30000;

using platform::testing::LogCapture;

std::optional<RendererEntry> EntryFor(const RendererSource& source, const std::string& id) {
  std::vector<RendererEntry> table;
  source.CopyRenderers(&table);
  for (const RendererEntry& entry : table) {
    if (entry.deviceId == id) return entry;
  }
  return std::nullopt;
}

// Waits for a renderer, searching again every two seconds in case the first search went
// out before the renderer was listening.
bool Found(RendererControlPoint& controlPoint, const std::string& id) {
  uint64_t nextSearch = platform::TickCountMs() + 2000;
  return WaitUntil(
      [&] {
        if (platform::TickCountMs() >= nextSearch) {
          controlPoint.Search();
          nextSearch = platform::TickCountMs() + 2000;
        }
        return EntryFor(controlPoint, id).has_value();
      },
      kFindMs);
}

size_t ThreadCount() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count;
}

TEST(RendererNetnsTest, RealRendererIsListedWithItsFriendlyName) {
  // A gmediarender process on v0.
  platform::Process renderer;
  platform::ProcessOptions options;
  options.searchPath = true;
  options.output = options.error = platform::Redirect::Null();
  ASSERT_EQ(renderer.Start("/usr/bin/gmediarender",
                           {"-I", "v0", "-f", "Living Room", "-u", kRealId.substr(5)}, options),
            0);
  RendererControlPoint controlPoint;
  ASSERT_EQ(controlPoint.Start(), 0);
  ASSERT_TRUE(Found(controlPoint, kRealId));

  RendererEntry entry = *EntryFor(controlPoint, kRealId);
  EXPECT_EQ(entry.friendlyName, "Living Room");
  EXPECT_EQ(entry.location.rfind("http://10.79.0.1:", 0), 0u) << entry.location;
  EXPECT_NE(entry.os.find("UPnP/1.0"), std::string::npos) << entry.os;
  auto device = controlPoint.FindRenderer(kRealId);
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(device->udn, kRealId);
  EXPECT_EQ(device->friendlyName, "Living Room");

  // The refresh button forgets every renderer and finds them again.
  RendererPageModel page(&controlPoint);
  EXPECT_EQ(page.Refresh(), 0);
  EXPECT_TRUE(controlPoint.IsStarted());
  EXPECT_TRUE(Found(controlPoint, kRealId));
  controlPoint.Stop();
}

TEST(RendererNetnsTest, HandWrittenDescriptionsAreJudged) {
  LogCapture log;
  RendererControlPoint controlPoint;
  ASSERT_EQ(controlPoint.Start(), 0);
  ASSERT_TRUE(Found(controlPoint, kNamelessId));
  EXPECT_EQ(EntryFor(controlPoint, kNamelessId)->friendlyName, "?????????????????");

  // The 12000-byte description fills the whole buffer and is refused.
  EXPECT_TRUE(WaitUntil(
      [&] { return log.Contains("Server Desc Read Error!! BufferSize[10240], Error Code: 0\n"); },
      kFindMs));
  EXPECT_FALSE(EntryFor(controlPoint, kBigId).has_value());
  EXPECT_FALSE(controlPoint.FindRenderer(kBigId).has_value());

  // The slow one arrives in the end.
  EXPECT_TRUE(Found(controlPoint, kSlowId));
  EXPECT_EQ(EntryFor(controlPoint, kSlowId)->friendlyName, "Slow Renderer");
  controlPoint.Stop();
}

TEST(RendererNetnsTest, StopWaitsForADownloadAndDiscardsIt) {
  const size_t threadsBefore = ThreadCount();
  LogCapture log;
  RendererControlPoint controlPoint;
  ASSERT_EQ(controlPoint.Start(), 0);
  // The fast fake is in; the slow one's description is still on its way.
  ASSERT_TRUE(Found(controlPoint, kNamelessId));
  ASSERT_FALSE(EntryFor(controlPoint, kSlowId).has_value());
  controlPoint.Stop();
  EXPECT_TRUE(log.Contains("Download Server Desc OK, but UPnP is shutdowning\n"));
  EXPECT_FALSE(controlPoint.IsStarted());
  EXPECT_FALSE(EntryFor(controlPoint, kNamelessId).has_value());
  EXPECT_FALSE(controlPoint.FindRenderer(kNamelessId).has_value());
  // The library's threads have returned; the kernel may take a moment to reap them. A
  // thread an earlier test left ending may have gone meanwhile, so fewer is fine too.
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 5000))
      << ThreadCount() << " threads, " << threadsBefore << " before the start";

  // Stopped means stopped: searching does nothing and a second stop is harmless.
  controlPoint.Search();
  controlPoint.Stop();
  EXPECT_FALSE(EntryFor(controlPoint, kNamelessId).has_value());
}

TEST(RendererNetnsTest, OneControlPointOwnsTheLibraryAtATime) {
  LogCapture log;
  RendererControlPoint first;
  RendererControlPoint second;
  ASSERT_EQ(first.Start(), 0);
  EXPECT_EQ(first.Start(), 0);  // already started
  EXPECT_EQ(second.Start(), UPNP_E_INIT);
  EXPECT_FALSE(second.IsStarted());
  first.Stop();
  // With a subnet filter the renderer on another network is not even downloaded.
  EXPECT_EQ(second.Start("10.79.0.1", "255.255.255.0"), 0);
  EXPECT_TRUE(Found(second, kNamelessId));
  EXPECT_TRUE(WaitUntil(
      [&] { return log.Contains("IP 10.99.0.1 is not is same domain with DMA.\n"); }, kFindMs));
  EXPECT_FALSE(EntryFor(second, kFarId).has_value());
  second.Stop();
  EXPECT_EQ(second.Start("10.79.0.x"), UPNP_E_INVALID_PARAM);
  EXPECT_FALSE(second.IsStarted());
}

}  // namespace
}  // namespace controlpoint
