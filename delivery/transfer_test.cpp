#include "delivery/transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "app/settings.h"
#include "delivery/aio.h"
#include "delivery/testing/testing_sources.h"
#include "gui/transfer_status.h"
#include "library/testing/temp_library.h"
#include "media/media_type.h"
#include "platform/path.h"
#include "upnp/http_reader.h"
#include "upnp/runtime_test_util.h"
#include "upnp/web_server.h"

namespace {

using runtime_test::ChainThread;
using runtime_test::Client;
using runtime_test::kLoopback;
using runtime_test::WaitFor;

std::string g_root;  // the folder the test's virtual directory serves

// The web handler of the tests: "/0/<name>" serves <root>/<name> (without any "&TC..."
// suffix) with the MIME type of its extension.
void OnMedia(FLibWebSession* session, FLibHttpPacket* request, bool done, void*) {
  if (!done) return;
  std::string name = request->Target.substr(1);
  name = name.substr(0, name.find('&'));
  std::string path = g_root + "/" + name;
  RP_ServeFile(session, request, 4096, path,
               MediaType_MimeForExtension(platform::PathExtension(path)), nullptr);
}

void OnSessionStarted(FLibWebSession*, void*) {}

// Reads one whole response (chunked bodies decoded) and removes its bytes.
FLibHttpPacketPtr ReadResponse(Client& client, bool head = false) {
  FLibHttpPacketPtr result;
  client.ReadUntil(
      [&](const std::string& received) {
        FLibHttpReader reader;
        FLibHttpReader_Init(&reader, FLibHttpReaderMode::Client);
        reader.ResponseToHead = head;
        for (size_t at = 0, n = 0; at < received.size(); at += n) {
          int r = FLibHttpReader_Feed(&reader, std::string_view(received).substr(at), &n);
          if (r == FLibHttpReader_MessageDone) {
            result = std::move(reader.Packet);
            client.Received().erase(0, at + n);
            return true;
          }
          if (r == FLibHttpReader_Failed || n == 0) return false;
        }
        return false;
      },
      10000);
  return result;
}

// Sends one request on `client` and reads its whole response.
FLibHttpPacketPtr Ask(Client& client, const std::string& request, bool head = false) {
  return client.Send(request) ? ReadResponse(client, head) : nullptr;
}

std::string Header(const FLibHttpPacket& packet, const char* name) {
  return FLibHttp_HeaderValue(packet, name).value_or("<none>");
}

std::string Request(const std::string& target, const std::string& extra = "",
                    const std::string& method = "GET", const std::string& version = "1.1") {
  return method + " /0/" + target + " HTTP/" + version + "\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    g_root = lib_.dir();
    ASSERT_EQ(Aio_Start(), 1);
    ClearTransfers();
    FLibWebServerOptions options;
    options.BindAddress = kLoopback;
    server_ = FLibWebServer_Create(chain_.Get(), 8, 0, OnSessionStarted, nullptr, options);
    ASSERT_NE(server_, nullptr);
    FLibWebServer_AddVirtualDirectory(server_, "0", OnMedia, nullptr);
    chain_.Start();
    port_ = FLibWebServer_BoundPort(server_);
    content_ = delivery_test::Pattern(0, 1000);
    Write("track.mp3", content_);
  }
  void TearDown() override {
    EXPECT_TRUE(WaitFor([] { return RP_ActiveTransfers() == 0; }));
    chain_.Stop();
    Aio_Stop();
    RP_SetEncoderOpener({});
    PreCacheEnable = 0;
  }

  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(lib_.Path(name), std::ios::binary) << bytes;
  }

  // Sends one request on a new connection and returns everything until the peer closes
  // or `bytes` bytes have arrived.
  std::string Raw(const std::string& request, size_t bytes) {
    Client client(port_);
    EXPECT_TRUE(client.Send(request));
    return client.ReadUntil([&](const std::string& r) { return r.size() >= bytes; });
  }

  TempLibrary lib_;
  ChainThread chain_;
  FLibWebServer* server_ = nullptr;
  uint16_t port_ = 0;
  std::string content_;
};

TEST_F(TransferTest, WholeFileHeadIsExactAndTheConnectionStaysOpenExceptForHttp10) {
  const std::string head =
      "HTTP/1.1 200 OK\r\nServer: Ferrule DMS Server\r\nAccept-Range: bytes\r\n"
      "Content-Length: 1000\r\nContent-Type: audio/mpeg\r\n\r\n";
  Client client(port_);
  ASSERT_TRUE(client.Send(Request("track.mp3")));
  std::string raw =
      client.ReadUntil([&](const std::string& r) { return r.size() >= head.size() + 1000; });
  EXPECT_EQ(raw, head + content_);
  // The same connection serves the next request: nothing stray followed the body.
  client.Received().clear();
  FLibHttpPacketPtr response = Ask(client, Request("track.mp3", "Range: bytes=10-19\r\n"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->StatusCode, 206);
  EXPECT_EQ(Header(*response, "Content-Range"), "bytes 10-19/1000");
  EXPECT_EQ(Header(*response, "Transfer-Encoding"), "<none>");
  EXPECT_EQ(response->Body, content_.substr(10, 10));

  std::vector<TransferEntry> entries;
  CollectChanges(&entries);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().FilePath, "track.mp3");
  EXPECT_EQ(entries.back().UrlPath, "/track.mp3");

  // An HTTP/1.0 head has no Accept-Range and the connection closes after the body.
  EXPECT_EQ(Raw(Request("track.mp3", "", "GET", "1.0"), SIZE_MAX),
            "HTTP/1.1 200 OK\r\nServer: Ferrule DMS Server\r\nContent-Length: 1000\r\n"
            "Content-Type: audio/mpeg\r\nConnection: close\r\n\r\n" +
                content_);
}

TEST_F(TransferTest, ErrorsAreAnsweredWithTheirFixedTexts) {
  const std::string k416 =
      "HTTP/1.1 416 Requested range not satisfiable \r\nContent-Length: 0\r\n\r\n";
  const std::string k416BeyondEnd =
      "HTTP/1.1 416 Requested range not satisfiable \r\nContent-Range: bytes */1000\r\n"
      "Content-Length: 0\r\n\r\n";
  const std::string k400 =
      "HTTP/1.1 400 Request is malformed or invalid \r\nContent-Length: 0\r\n\r\n";
  struct Case {
    std::string request;
    std::string answer;
  };
  const Case cases[] = {
      {Request("track.mp3", "Range: bytes=500-100\r\n"), k416},
      {Request("track.mp3", "Range: bytes=1000-\r\n"), k416BeyondEnd},
      {Request("track.mp3", "Range: bytes=x-1\r\n"), k400},
      {Request("track.mp3", "TimeSeekRange.dlna.org: npt=10-\r\n"),
       "HTTP/1.1 406 Not Acceptable \r\nContent-Length: 0\r\n\r\n"},
      {Request("missing.mp3"),
       "HTTP/1.1 404 File Not Found or File is Locked\r\nContent-Length: 0\r\n\r\n"},
      {Request("track.mp3", "Content-Length: 0\r\n", "POST"),
       "HTTP/1.1 501 Specified method not implemented\r\nContent-Length: 0\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(Raw(c.request, c.answer.size()), c.answer);
  }
}

// HEAD, a time seek beside a range and the features request share one connection: each
// answer must leave it ready for the next.
TEST_F(TransferTest, HeadTimeSeekAndContentFeaturesOnOneConnection) {
  Client client(port_);
  FLibHttpPacketPtr response = Ask(client, Request("track.mp3", "", "HEAD"), true);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->StatusCode, 200);
  EXPECT_EQ(Header(*response, "Content-Length"), "1000");
  EXPECT_TRUE(response->Body.empty());
  response =
      Ask(client, Request("track.mp3", "TimeSeekRange.dlna.org: npt=10-\r\nRange: bytes=0-9\r\n"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->StatusCode, 206);
  EXPECT_EQ(response->Body, content_.substr(0, 10));
}

TEST_F(TransferTest, RangeNearTheEndOfAFileBeyond4GiB) {
  const int64_t size = (5LL << 30) + 100;
  const int64_t mark = 5LL << 30;
  {
    int fd = ::open(lib_.Path("big.mpg").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    std::string tail = delivery_test::Pattern(static_cast<uint64_t>(mark), 100);
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), mark), 100);
    ::close(fd);
  }
  Client client(port_);
  FLibHttpPacketPtr response =
      Ask(client, Request("big.mpg", "Range: bytes=5368709120-5368709219\r\n"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->StatusCode, 206);
  EXPECT_EQ(Header(*response, "Content-Range"), "bytes 5368709120-5368709219/5368709220");
  EXPECT_EQ(response->Body, delivery_test::Pattern(static_cast<uint64_t>(mark), 100));
}

TEST_F(TransferTest, PreCacheOnAndOffSendTheSameBytes) {
  const std::string big = delivery_test::Pattern(0, 20 << 20);
  Write("big.mpg", big);
  for (int enabled : {1, 0}) {
    SCOPED_TRACE(enabled);
    PreCacheEnable = enabled;
    AioCounters before = Aio_GetCounters();
    Client client(port_);
    ASSERT_TRUE(client.Send(Request("big.mpg", "Range: bytes=12345-\r\n")));
    const std::string want = big.substr(12345);
    std::string raw = client.ReadUntil(
        [&](const std::string& r) {
          size_t end = r.find("\r\n\r\n");
          return end != std::string::npos && r.size() >= end + 4 + want.size();
        },
        60000);
    size_t body = raw.find("\r\n\r\n") + 4;
    EXPECT_TRUE(raw.size() - body == want.size() && raw.compare(body, want.size(), want) == 0);
    AioCounters after = Aio_GetCounters();
    if (enabled) {
      EXPECT_GT(after.CacheHits - before.CacheHits, 5000u);
    } else {
      EXPECT_EQ(after.CacheHits, before.CacheHits);
    }
  }
}

TEST_F(TransferTest, ClosedConnectionEndsTheTransfer) {
  Write("big.mpg", delivery_test::Pattern(0, 20 << 20));
  {
    Client client(port_);
    ASSERT_TRUE(client.Send(Request("big.mpg")));
    client.ReadUntil([](const std::string& r) { return r.size() > 100000; });
    EXPECT_EQ(RP_ActiveTransfers(), 1u);
    client.ResetOnClose();
  }
  EXPECT_TRUE(WaitFor([] { return RP_ActiveTransfers() == 0; }));
}

TEST_F(TransferTest, FileThatShrinksMidTransferClosesTheConnection) {
  const size_t size = 40 << 20;
  Write("shrinking.mpg", delivery_test::Pattern(0, size));
  Client client(port_);
  ASSERT_TRUE(client.Send(Request("shrinking.mpg")));
  client.ReadUntil([](const std::string& r) { return r.size() > 1000; });
  // The client stops reading, so the server waits with most of the file still unread.
  ASSERT_EQ(::truncate(lib_.Path("shrinking.mpg").c_str(), 0), 0);
  // A kept-alive connection would answer this next request right after the short body,
  // and a client would take that answer for the rest of the body.
  ASSERT_TRUE(client.Send(Request("track.mp3")));
  std::string raw = client.ReadUntil([](const std::string&) { return false; }, 20000);
  EXPECT_TRUE(client.Closed());
  EXPECT_LT(raw.size(), size);
  EXPECT_NE(raw.find("Content-Length: " + std::to_string(size)), std::string::npos);
  EXPECT_EQ(raw.find("Content-Length: 1000"), std::string::npos);
}

TEST_F(TransferTest, TranscodedBodyComesFromTheEncoderWithoutALength) {
  Write("Movie.mp4", "original bytes");
  const std::string encoded = delivery_test::Pattern(77, 10000);
  std::mutex mutex;
  std::string openedPath, openedMime;
  RP_SetEncoderOpener([&](const std::string& path, const std::string& mime) {
    std::lock_guard lock(mutex);
    openedPath = path;
    openedMime = mime;
    return std::make_unique<delivery_test::TextStream>(encoded);
  });
  Client client(port_);
  FLibHttpPacketPtr response = Ask(client, Request("Movie.mp4&TC&POWER", "Range: bytes=0-99\r\n"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->StatusCode, 200);
  EXPECT_EQ(Header(*response, "Transfer-Encoding"), "chunked");
  EXPECT_EQ(Header(*response, "Content-Type"), "video/x-ms-avi");
  EXPECT_EQ(response->Body, encoded);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(openedPath, lib_.Path("Movie.mp4"));
    EXPECT_EQ(openedMime, "video/mp4");
  }
  // Without "&POWER" the file is served as it is.
  response = Ask(client, Request("Movie.mp4&TC", "Range: bytes=0-7\r\n"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->StatusCode, 206);
  EXPECT_EQ(response->Body, "original");
  // No encoder: as for an encoder that did not start.
  RP_SetEncoderOpener({});
  response = Ask(client, Request("Movie.mp4&TC&POWER"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->StatusCode, 404);
}

}  // namespace
