#include "controlpoint/renderer_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "controlpoint/renderer_limits.h"
#include "platform/log.h"
#include "platform/test_support.h"

namespace controlpoint {
namespace {

using platform::testing::WaitUntil;
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
  event.os = "Linux/6.1, UPnP/1.0, Portable SDK for UPnP devices/1.8.4";
  return event;
}

class RendererRegistryTest : public ::testing::Test {
 protected:
  RendererRegistryTest() : registry_([this] { return now_.load(); }) {
    platform::SetLogSink([this](std::string_view line) {
      std::lock_guard lock(logMutex_);
      log_ += line;
    });
    registry_.Open(0, 0);
  }
  ~RendererRegistryTest() override { platform::SetLogSink(nullptr); }

  // A fetcher that serves "NAME" for every URL ".../NAME.xml" and counts its calls.
  DescriptionFetcher Serving() {
    return [this](const std::string& url) {
      ++fetches_;
      size_t slash = url.rfind('/');
      std::string name = url.substr(slash + 1, url.size() - slash - 5);
      return DescriptionFetch{Status::kOk, 0, Description(name, "uuid:desc-" + name)};
    };
  }

  std::string Log() {
    std::lock_guard lock(logMutex_);
    return log_;
  }

  std::vector<RendererEntry> Table() {
    std::vector<RendererEntry> table;
    registry_.CopyRenderers(&table);
    return table;
  }

  std::atomic<std::chrono::system_clock::time_point> now_{kStart};
  RendererRegistry registry_;
  std::atomic<int> fetches_{0};
  std::mutex logMutex_;
  std::string log_;
};

TEST_F(RendererRegistryTest, NewRendererIsListedIndexedAndRefreshedWithoutDownloading) {
  registry_.HandleDiscovery(Alive("uuid:tv"), Serving());
  auto table = Table();
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].location, "http://10.0.0.5:49494/uuid:tv.xml");
  EXPECT_EQ(table[0].deviceId, "uuid:tv");
  EXPECT_EQ(table[0].os, "Linux/6.1, UPnP/1.0, Portable SDK for UPnP devices/1.8.4");
  EXPECT_EQ(table[0].friendlyName, "uuid:tv");
  EXPECT_EQ(table[0].seenCount, 0u);
  EXPECT_EQ(table[0].lastSeen, 1700000000);
  auto device = registry_.FindRenderer("uuid:tv");
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(device->udn, "uuid:desc-uuid:tv");
  EXPECT_EQ(device->timeStamp, kStart);
  EXPECT_FALSE(registry_.FindRenderer("uuid:other").has_value());
  EXPECT_NE(Log().find("Add new Render:FriendlyName==> uuid:tv!!\n"
                       "******************************************\n\n"),
            std::string::npos);

  // Seen again, it is refreshed without a second download.
  now_ = kStart + std::chrono::seconds(42);
  registry_.HandleDiscovery(Alive("uuid:tv"), Serving());
  registry_.HandleDiscovery(Alive("uuid:tv"), Serving());
  EXPECT_EQ(fetches_, 1);
  table = Table();
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].seenCount, 2u);
  EXPECT_EQ(table[0].lastSeen, 1700000042);
  EXPECT_EQ(registry_.FindRenderer("uuid:tv")->timeStamp, kStart + std::chrono::seconds(42));
}

TEST_F(RendererRegistryTest, OnlyGoodRendererMessagesAreTaken) {
  RendererDiscovery server = Alive("uuid:a");
  server.deviceType = "urn:schemas-upnp-org:device:MediaServer:1";
  RendererDiscovery failed = Alive("uuid:b");
  failed.errorCode = -1;
  RendererDiscovery noLocation = Alive("uuid:c");
  noLocation.location.clear();
  RendererDiscovery noId = Alive("");
  for (const auto& event : {server, failed, noLocation, noId}) {
    registry_.HandleDiscovery(event, Serving());
  }
  EXPECT_EQ(fetches_, 0);
  EXPECT_TRUE(Table().empty());
  RendererDiscovery version2 = Alive("uuid:d");
  version2.deviceType = "urn:schemas-upnp-org:device:MediaRenderer:2";
  registry_.HandleDiscovery(version2, Serving());
  EXPECT_EQ(Table().size(), 1u);
}

TEST_F(RendererRegistryTest, RendererAnsweringDuringItsDownloadIsDownloadedOnce) {
  std::mutex gate;
  std::condition_variable opened;
  bool release = false;
  std::atomic<bool> inFetch{false};
  DescriptionFetcher blocking = [&](const std::string&) {
    ++fetches_;
    inFetch = true;
    std::unique_lock lock(gate);
    opened.wait(lock, [&] { return release; });
    return DescriptionFetch{Status::kOk, 0, Description("Slow", "uuid:slow")};
  };
  std::thread first([&] { registry_.HandleDiscovery(Alive("uuid:slow"), blocking); });
  ASSERT_TRUE(WaitUntil([&] { return inFetch.load(); }));
  registry_.HandleDiscovery(Alive("uuid:slow"), blocking);  // returns at once
  EXPECT_EQ(fetches_, 1);
  {
    std::lock_guard lock(gate);
    release = true;
  }
  opened.notify_all();
  first.join();
  ASSERT_EQ(Table().size(), 1u);
  EXPECT_EQ(Table()[0].friendlyName, "Slow");
}

TEST_F(RendererRegistryTest, FailedDownloadsLeaveNoTraceAndAreRetried) {
  struct Case {
    DescriptionFetch fetch;
    const char* message;
  } cases[] = {
      {{Status::kOpenFailed, -204, ""}, "Download Server Desc fail!! Error Code: -204\n"},
      {{Status::kReadFailed, -119, "<ro"},
       "Server Desc Read Error!! BufferSize[3], Error Code: -119\n"},
      {{Status::kOk, 0, std::string(renderer_limits::kDescriptionBufferSize, ' ')},
       "Server Desc Read Error!! BufferSize[10240], Error Code: 0\n"},
      {{Status::kOk, 0, "<root><friendlyName>x</root>"}, "Server Desc Parsing Error!!\n"},
  };
  for (const Case& c : cases) {
    log_.clear();
    int calls = 0;
    registry_.HandleDiscovery(Alive("uuid:bad"), [&](const std::string&) {
      ++calls;
      return c.fetch;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Log(), c.message);
    EXPECT_TRUE(Table().empty());
    EXPECT_FALSE(registry_.FindRenderer("uuid:bad").has_value());
  }
  // Nothing is left pending: the next announcement downloads again, and a description
  // one byte short of the buffer is still read.
  std::string body = Description("Padded", "uuid:p");
  body.insert(body.size() - 7, renderer_limits::kDescriptionBufferSize - 1 - body.size(), ' ');
  registry_.HandleDiscovery(Alive("uuid:bad"), [&](const std::string&) {
    return DescriptionFetch{Status::kOk, 0, body};
  });
  ASSERT_EQ(Table().size(), 1u);
  EXPECT_EQ(Table()[0].friendlyName, "Padded");
}

TEST_F(RendererRegistryTest, SubnetFilterKeepsOtherNetworksOut) {
  registry_.Open(0x0A000001u, 0xFFFFFF00u);  // 10.0.0.1/24
  registry_.HandleDiscovery(Alive("uuid:near", "http://10.0.0.77:80/uuid:near.xml"), Serving());
  registry_.HandleDiscovery(Alive("uuid:far", "http://10.0.1.7:80/uuid:far.xml"), Serving());
  registry_.HandleDiscovery(Alive("uuid:named", "http://tv.local:80/uuid:named.xml"), Serving());
  ASSERT_EQ(Table().size(), 1u);
  EXPECT_EQ(Table()[0].deviceId, "uuid:near");
  EXPECT_NE(Log().find("IP 10.0.1.7 is not is same domain with DMA.\n"), std::string::npos);
  EXPECT_NE(Log().find("IP 0.0.0.0 is not is same domain with DMA.\n"), std::string::npos);

  registry_.Open(0, 0);  // no filter: everything passes
  registry_.HandleDiscovery(Alive("uuid:far", "http://10.0.1.7:80/uuid:far.xml"), Serving());
  registry_.HandleDiscovery(Alive("uuid:named", "http://tv.local:80/uuid:named.xml"), Serving());
  EXPECT_EQ(Table().size(), 3u);
}

TEST_F(RendererRegistryTest, FullTableRefusesTheNextRendererUntilThereIsRoom) {
  for (size_t i = 0; i < renderer_limits::kMaxRenderers; ++i) {
    registry_.HandleDiscovery(Alive("uuid:r" + std::to_string(i)), Serving());
  }
  ASSERT_EQ(Table().size(), renderer_limits::kMaxRenderers);
  registry_.HandleDiscovery(Alive("uuid:extra"), Serving());
  EXPECT_EQ(Table().size(), renderer_limits::kMaxRenderers);
  EXPECT_FALSE(registry_.FindRenderer("uuid:extra").has_value());
  EXPECT_NE(Log().find("uuid:extra not added"), std::string::npos);

  ASSERT_TRUE(registry_.RemoveRenderer(0));
  registry_.HandleDiscovery(Alive("uuid:extra"), Serving());
  auto table = Table();
  ASSERT_EQ(table.size(), renderer_limits::kMaxRenderers);
  EXPECT_EQ(table.back().deviceId, "uuid:extra");
  EXPECT_TRUE(registry_.FindRenderer("uuid:extra").has_value());
}

TEST_F(RendererRegistryTest, RemoveShiftsTheTableAndForgetsTheDevice) {
  for (const char* id : {"uuid:a", "uuid:b", "uuid:c"})
    registry_.HandleDiscovery(Alive(id), Serving());
  EXPECT_FALSE(registry_.RemoveRenderer(3));
  ASSERT_TRUE(registry_.RemoveRenderer(1));
  auto table = Table();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].deviceId, "uuid:a");
  EXPECT_EQ(table[1].deviceId, "uuid:c");
  EXPECT_FALSE(registry_.FindRenderer("uuid:b").has_value());
  // Once forgotten, the renderer's next announcement brings it back.
  registry_.HandleDiscovery(Alive("uuid:b"), Serving());
  EXPECT_EQ(Table().size(), 3u);
  EXPECT_EQ(fetches_, 4);
}

TEST_F(RendererRegistryTest, LongFieldsAreCappedAndStillRemovable) {
  std::string id = "uuid:" + std::string(300, 'x');
  registry_.HandleDiscovery(Alive(id), [](const std::string&) {
    return DescriptionFetch{Status::kOk, 0, Description(std::string(250, 'n'), "uuid:long")};
  });
  auto table = Table();
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].deviceId.size(), renderer_limits::kFieldSize - 1);
  EXPECT_EQ(table[0].location.size(), renderer_limits::kFieldSize - 1);
  EXPECT_EQ(table[0].friendlyName.size(), renderer_limits::kFieldSize - 1);
  EXPECT_TRUE(registry_.FindRenderer(id).has_value());
  ASSERT_TRUE(registry_.RemoveRenderer(0));
  EXPECT_FALSE(registry_.FindRenderer(id).has_value());
}

TEST_F(RendererRegistryTest, DownloadFinishingDuringStopIsDiscarded) {
  std::atomic<bool> inFetch{false};
  std::atomic<bool> release{false};
  std::thread callback([&] {
    registry_.HandleDiscovery(Alive("uuid:late"), [&](const std::string&) {
      inFetch = true;
      WaitUntil([&] { return release.load(); });
      return DescriptionFetch{Status::kOk, 0, Description("Late", "uuid:late")};
    });
  });
  ASSERT_TRUE(WaitUntil([&] { return inFetch.load(); }));
  registry_.BeginStop();
  registry_.HandleDiscovery(Alive("uuid:other"), Serving());  // ignored while stopping
  release = true;
  callback.join();
  EXPECT_NE(Log().find("Download Server Desc OK, but UPnP is shutdowning\n"), std::string::npos);
  EXPECT_TRUE(Table().empty());
  EXPECT_EQ(fetches_, 0);
  registry_.FinishStop();
  EXPECT_FALSE(registry_.Stopping());

  // After the next start the same renderer is downloaded again.
  registry_.Open(0, 0);
  registry_.HandleDiscovery(Alive("uuid:late"), Serving());
  EXPECT_EQ(Table().size(), 1u);
}

}  // namespace
}  // namespace controlpoint
