#include "delivery/transfer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "app/settings.h"
#include "delivery/aio.h"
#include "delivery/delivery_limits.h"
#include "delivery/testing/testing_sources.h"
#include "library/testing/temp_library.h"
#include "media/media_type.h"
#include "platform/path.h"
#include "platform/testing/test_support.h"
#include "upnp/testing/runtime_test_util.h"
#include "upnp/web_server.h"

namespace {

using delivery_test::Pattern;
using runtime_test::Client;
using runtime_test::WaitFor;

std::string g_root;  // the folder the test's virtual directory serves

// The web handler of the tests: "/0/<name>" serves <root>/<name> (without any "&TC..."
// suffix) with the MIME type of its extension.
void OnMedia(FLibWebSession* session, FLibHttpPacket* request, bool done, void*) {
  if (!done) return;
  std::string path = g_root + "/" + request->Target.substr(1, request->Target.find('&') - 1);
  RP_ServeFile(session, request, 4096, path,
               MediaType_MimeForExtension(platform::PathExtension(path)), nullptr);
}

std::string Request(const std::string& target, const std::string& extra = "",
                    const std::string& method = "GET", const std::string& version = "1.1") {
  return method + " /0/" + target + " HTTP/" + version + "\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

// Ranges, HEAD, kept connections and what the encoder sends are proven by the real-client
// suite; these are the exact texts of the answers, which it does not compare, and the
// faults it cannot provoke.
class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    g_root = lib_.dir();
    ASSERT_EQ(Aio_Start(), 1);
    FLibWebServerOptions options;
    options.BindAddress = runtime_test::kLoopback;
    server_ = FLibWebServer_Create(
        chain_.Get(), 8, 0, [](FLibWebSession*, void*) {}, nullptr, options);
    ASSERT_NE(server_, nullptr);
    FLibWebServer_AddVirtualDirectory(server_, "0", OnMedia, nullptr);
    chain_.Start();
    port_ = FLibWebServer_BoundPort(server_);
    platform::testing::WriteFile(lib_.Path("track.mp3"), content_);
  }
  void TearDown() override {
    EXPECT_TRUE(WaitFor([] { return RP_ActiveTransfers() == 0; }));
    chain_.Stop();
    Aio_Stop();
    RP_SetEncoderOpener({});
    PreCacheEnable = 0;
  }

  // Sends `request` on `client` and returns what arrives until `bytes` have (or the peer
  // closes), taking them off the client.
  static std::string Exchange(Client& client, const std::string& request, size_t bytes) {
    EXPECT_TRUE(client.Send(request));
    std::string got = client.ReadUntil([&](const std::string& r) { return r.size() >= bytes; });
    client.Received().erase(0, bytes);
    return got.substr(0, bytes);
  }
  std::string Exchange(const std::string& request, size_t bytes) {
    Client client(port_);
    return Exchange(client, request, bytes);
  }

  TempLibrary lib_;
  runtime_test::ChainThread chain_;
  FLibWebServer* server_ = nullptr;
  uint16_t port_ = 0;
  const std::string content_ = Pattern(0, 1000);
};

TEST_F(TransferTest, WholeFileHeadIsExactAndTheConnectionStaysOpenExceptForHttp10) {
  const std::string head =
      "HTTP/1.1 200 OK\r\nServer: Ferrule DMS Server\r\nAccept-Range: bytes\r\n"
      "Content-Length: 1000\r\nContent-Type: audio/mpeg\r\n\r\n";
  Client client(port_);
  EXPECT_EQ(Exchange(client, Request("track.mp3"), head.size() + 1000), head + content_);
  // The same connection serves the next request: nothing stray followed the body. A time
  // seek beside a range is served as the range.
  const std::string partial =
      "HTTP/1.1 206 Partial Content\r\nServer: Ferrule DMS Server\r\nContent-Range: bytes "
      "10-19/1000\r\nContent-Length: 10\r\nContent-Type: audio/mpeg\r\n\r\n";
  EXPECT_EQ(
      Exchange(client,
               Request("track.mp3", "TimeSeekRange.dlna.org: npt=10-\r\nRange: bytes=10-19\r\n"),
               partial.size() + 10),
      partial + content_.substr(10, 10));

  EXPECT_EQ(Exchange(Request("track.mp3", "", "GET", "1.0"), SIZE_MAX),
            "HTTP/1.1 200 OK\r\nServer: Ferrule DMS Server\r\nContent-Length: 1000\r\n"
            "Content-Type: audio/mpeg\r\nConnection: close\r\n\r\n" +
                content_);
}

TEST_F(TransferTest, ErrorsAreAnsweredWithTheirFixedTexts) {
  const std::string k416 = "HTTP/1.1 416 Requested range not satisfiable \r\n";
  const std::pair<std::string, std::string> cases[] = {
      {Request("track.mp3", "Range: bytes=500-100\r\n"), k416 + "Content-Length: 0\r\n\r\n"},
      {Request("track.mp3", "Range: bytes=1000-\r\n"),
       k416 + "Content-Range: bytes */1000\r\nContent-Length: 0\r\n\r\n"},
      {Request("track.mp3", "Range: bytes=x-1\r\n"),
       "HTTP/1.1 400 Request is malformed or invalid \r\nContent-Length: 0\r\n\r\n"},
      {Request("track.mp3", "TimeSeekRange.dlna.org: npt=10-\r\n"),
       "HTTP/1.1 406 Not Acceptable \r\nContent-Length: 0\r\n\r\n"},
      {Request("missing.mp3"),
       "HTTP/1.1 404 File Not Found or File is Locked\r\nContent-Length: 0\r\n\r\n"},
      {Request("track.mp3", "Content-Length: 0\r\n", "POST"),
       "HTTP/1.1 501 Specified method not implemented\r\nContent-Length: 0\r\n\r\n"},
  };
  for (const auto& [request, answer] : cases) EXPECT_EQ(Exchange(request, answer.size()), answer);
}

// The server runs with the window off by default, so the real clients never take this path.
TEST_F(TransferTest, PreCacheSendsTheSameBytesFromItsWindow) {
  const std::string big = Pattern(0, 20 << 20);
  platform::testing::WriteFile(lib_.Path("big.mpg"), big);
  PreCacheEnable = 1;
  AioCounters before = Aio_GetCounters();
  std::string raw = Exchange(Request("big.mpg", "Range: bytes=12345-\r\n", "GET", "1.0"), SIZE_MAX);
  EXPECT_TRUE(raw.size() > big.size() - 12345 && raw.ends_with(big.substr(12345)));
  EXPECT_GT(Aio_GetCounters().CacheHits - before.CacheHits, 5000u);
}

TEST_F(TransferTest, FileThatShrinksMidTransferClosesTheConnection) {
  const size_t size = 40 << 20;
  platform::testing::WriteFile(lib_.Path("shrinking.mpg"), Pattern(0, size));
  Client client(port_);
  Exchange(client, Request("shrinking.mpg"), 1000);
  // The client stops reading, so the server waits with most of the file still unread.
  ASSERT_EQ(::truncate(lib_.Path("shrinking.mpg").c_str(), 0), 0);
  // A kept-alive connection would answer this next request right after the short body,
  // and a client would take that answer for the rest of the body.
  ASSERT_TRUE(client.Send(Request("track.mp3")));
  std::string raw = client.ReadUntil([](const std::string&) { return false; }, 20000);
  EXPECT_TRUE(client.Closed());
  EXPECT_LT(raw.size(), size);
  EXPECT_EQ(raw.find("Content-Length: 1000"), std::string::npos);
}

// The header parser alone: the values no client of the suite sends, and the limit on
// ranges that would amplify a transfer.
constexpr uint32_t kErrors = kTransferNotFound | kTransferMalformed | kTransferNotImplemented |
                             kTransferUnsatisfiable | kTransferInternalError |
                             kTransferRangeBeyondEnd;

// "start+count" of each range, or the error bits; then "*" when a Range was read.
std::string Parse(const std::vector<FLibHttpHeader>& headers, int64_t length = 1000) {
  FLibHttpPacket packet;
  packet.Method = "GET";
  packet.Headers = headers;
  TransferRequest parsed = RP_ParseTransferHeaders(packet, length);
  std::string out = parsed.Flags & kErrors ? "error " + std::to_string(parsed.Flags & kErrors) : "";
  for (const TransferRange& r : out.empty() ? parsed.Ranges : std::vector<TransferRange>())
    out += (out.empty() ? "" : ",") + std::to_string(r.Start) + "+" + std::to_string(r.Remaining);
  return out + (parsed.Flags & kTransferRangeAsked ? "*" : "");
}

std::string ParseRange(const std::string& value, int64_t length = 1000) {
  return Parse({{"Range", value}}, length);
}

TEST(TransferRanges, ValuesGiveTheirRangesOrTheirErrors) {
  const std::string malformed = "error " + std::to_string(kTransferMalformed);
  const std::string beyondEnd = "error " + std::to_string(kTransferRangeBeyondEnd) + "*";
  EXPECT_EQ(ParseRange("bytes=-5000"), "0+1000*");
  EXPECT_EQ(ParseRange("bytes= 10 - 19 "), "10+10*");
  // An end beyond the source is cut to the source, however many digits it has.
  EXPECT_EQ(ParseRange("bytes=990-99999999999"), "990+10*");
  EXPECT_EQ(ParseRange("bytes=-10", 5LL << 30), "5368709110+10*");
  // Ranges that hold no byte at all.
  EXPECT_EQ(ParseRange("bytes=-0"), beyondEnd);
  EXPECT_EQ(ParseRange("bytes=0-", 0), beyondEnd);
  EXPECT_EQ(ParseRange("bytes=0-99999999999999999999"), malformed + "*");
  EXPECT_EQ(ParseRange("bytes=0-1,,5-6"), malformed + "*");
  EXPECT_EQ(ParseRange("0-10"), malformed);
  // A bad features request stops the scan before a later Range is read.
  EXPECT_EQ(Parse({{"GetContentFeatures.DLNA.ORG", "yes"}, {"Range", "bytes=5-"}}), malformed);
  EXPECT_EQ(RP_MultipartBoundary(0x04030201u, 0xA0B0C000u), "{1{2{3{4{-S3P4R470R-}0}c0}b0}a0}");
}

TEST(TransferRanges, RangesThatWouldAmplifyATransferGiveTheWholeSource) {
  std::string limit = "bytes=0-0";
  for (size_t i = 1; i < kTransferMaxRanges; ++i)
    limit += "," + std::to_string(i) + "-" + std::to_string(i);
  // Exactly the limit is still served range by range.
  const std::string atLimit = ParseRange(limit);
  EXPECT_EQ(std::count(atLimit.begin(), atLimit.end(), '+'), static_cast<long>(kTransferMaxRanges));
  EXPECT_EQ(ParseRange(limit + ",500-501"), "0+1000");
  EXPECT_EQ(ParseRange("bytes=0-999,0-999"), "0+1000");
  // The limit counts the ranges of every Range header together.
  EXPECT_EQ(Parse({{"Range", limit}, {"RANGE", "bytes=500-501"}}), "0+1000");
}

}  // namespace
