#include "delivery/transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "app/settings.h"
#include "cds/media_type.h"
#include "delivery/aio.h"
#include "delivery/testing_sources.h"
#include "gui/transfer_status.h"
#include "library/testing/temp_library.h"
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
               MediaType_MimeForExtension(MediaType_ExtensionOf(path)), nullptr);
}

void OnSessionStarted(FLibWebSession*, void*) {}

// Reads one whole response (chunked bodies decoded) and removes its bytes.
FLibHttpPacketPtr ReadResponse(Client& client, bool head = false, uint64_t timeoutMs = 10000) {
  FLibHttpPacketPtr result;
  client.ReadUntil(
      [&](const std::string& received) {
        FLibHttpReader reader;
        FLibHttpReader_Init(&reader, FLibHttpReaderMode::Client);
        reader.ResponseToHead = head;
        size_t at = 0;
        while (at < received.size()) {
          size_t consumed = 0;
          int r = FLibHttpReader_Feed(&reader, std::string_view(received).substr(at), &consumed);
          at += consumed;
          if (r == FLibHttpReader_MessageDone) {
            result = std::move(reader.Packet);
            client.Received().erase(0, at);
            return true;
          }
          if (r == FLibHttpReader_Failed || (r == FLibHttpReader_NeedMore && consumed == 0))
            return false;
        }
        return false;
      },
      timeoutMs);
  return result;
}

// Reads a large response with a Content-Length without re-parsing what has arrived; the
// body of the result is everything after the head.
FLibHttpPacketPtr ReadLarge(Client& client, uint64_t timeoutMs) {
  size_t headEnd = std::string::npos, want = std::string::npos;
  std::string raw = client.ReadUntil(
      [&](const std::string& r) {
        if (headEnd == std::string::npos) {
          size_t end = r.find("\r\n\r\n");
          if (end == std::string::npos) return false;
          headEnd = end + 4;
          FLibHttpPacketPtr head = FLibHttp_ParseHeader(std::string_view(r).substr(0, end));
          auto length = head ? FLibHttp_HeaderValue(*head, "Content-Length") : std::nullopt;
          if (!length) return true;
          want = headEnd + std::stoull(*length);
        }
        return want != std::string::npos && r.size() >= want;
      },
      timeoutMs);
  if (headEnd == std::string::npos || want == std::string::npos || raw.size() != want)
    return nullptr;
  FLibHttpPacketPtr packet = FLibHttp_ParseHeader(std::string_view(raw).substr(0, headEnd - 4));
  if (packet) packet->Body = raw.substr(headEnd);
  return packet;
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
  EXPECT_EQ(response->Body, content_.substr(10, 10));

  std::vector<TransferEntry> entries;
  CollectChanges(&entries);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().FilePath, "track.mp3");
  EXPECT_EQ(entries.back().ClientAddress, "127.0.0.1");
  EXPECT_EQ(entries.back().TotalSize, 1000u);
  EXPECT_EQ(entries.back().UrlPath, "/track.mp3");

  // An HTTP/1.0 head has no Accept-Range and the connection closes after the body.
  EXPECT_EQ(Raw(Request("track.mp3", "", "GET", "1.0"), SIZE_MAX),
            "HTTP/1.1 200 OK\r\nServer: Ferrule DMS Server\r\nContent-Length: 1000\r\n"
            "Content-Type: audio/mpeg\r\n\r\n" +
                content_);
}

TEST_F(TransferTest, SingleRangesAreServedUnchunkedWithTheirContentRange) {
  struct Case {
    const char* range;
    const char* contentRange;
    size_t start, length;
  };
  const Case cases[] = {
      {"bytes=0-", "bytes 0-999/1000", 0, 1000},
      {"bytes=-100", "bytes 900-999/1000", 900, 100},
      {"bytes=-5000", "bytes 0-999/1000", 0, 1000},
      {"bytes=100-199", "bytes 100-199/1000", 100, 100},
      {"bytes=990-99999999999", "bytes 990-999/1000", 990, 10},
      {"bytes=1000-", "bytes 1000-999/1000", 1000, 0},
  };
  Client client(port_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    FLibHttpPacketPtr response =
        Ask(client, Request("track.mp3", std::string("Range: ") + c.range + "\r\n"));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->StatusCode, 206);
    EXPECT_EQ(response->Reason, "Partial Content");
    EXPECT_EQ(Header(*response, "Content-Range"), c.contentRange);
    EXPECT_EQ(Header(*response, "Content-Length"), std::to_string(c.length));
    EXPECT_EQ(Header(*response, "Transfer-Encoding"), "<none>");
    EXPECT_EQ(response->Body, content_.substr(c.start, c.length));
  }
}

TEST_F(TransferTest, ErrorsAreAnsweredWithTheirFixedTexts) {
  const std::string k416 =
      "HTTP/1.1 416 Requested range not satisfiable \r\nContent-Length: 0\r\n\r\n";
  const std::string k400 =
      "HTTP/1.1 400 Request is malformed or invalid \r\nContent-Length: 0\r\n\r\n";
  struct Case {
    std::string request;
    std::string answer;
  };
  const Case cases[] = {
      {Request("track.mp3", "Range: bytes=500-100\r\n"), k416},
      {Request("track.mp3", "Range: bytes=2000-\r\n"), k416},
      {Request("track.mp3", "Range: bytes=x-1\r\n"), k400},
      {Request("track.mp3", "getcontentFeatures.dlna.org: 0\r\n"), k400},
      {Request("track.mp3", "TimeSeekRange.dlna.org: npt=10-\r\n"),
       "HTTP/1.1 406 Not Acceptable \r\nContent-Length: 0\r\n\r\n"},
      {Request("missing.mp3"),
       "HTTP/1.1 404 File Not Found or File is Locked\r\nContent-Length: 0\r\n\r\n"},
      {Request("track.mp3", "Content-Length: 0\r\n", "POST"),
       "HTTP/1.1 501 Specified method not implemented\r\nContent-Length: 0\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    Client client(port_);
    ASSERT_TRUE(client.Send(c.request));
    EXPECT_EQ(
        client.ReadUntil([&](const std::string& r) { return r.size() >= c.answer.size(); }, 3000),
        c.answer);
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
  response = Ask(client, Request("track.mp3", "getcontentFeatures.dlna.org: 1\r\n"));
  ASSERT_TRUE(response);
  EXPECT_EQ(Header(*response, "contentFeatures.dlna.org"), "DLNA.ORG_PN=MP3;DLNA.ORG_OP=01");
  EXPECT_EQ(response->Body, content_);
}

TEST_F(TransferTest, SeveralRangesGoOutSeparatedByTheBoundary) {
  Client client(port_);
  FLibHttpPacketPtr response = Ask(client, Request("track.mp3", "Range: bytes=0-99,200-299\r\n"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->StatusCode, 206);
  std::string type = Header(*response, "Content-Type");
  const std::string prefix = "multipart/byteranges; boundary=";
  ASSERT_EQ(type.compare(0, prefix.size(), prefix), 0) << type;
  std::string boundary = type.substr(prefix.size());
  EXPECT_NE(boundary.find("{-S3P4R470R-}"), std::string::npos);
  EXPECT_EQ(Header(*response, "Content-Length"), "<none>");
  EXPECT_EQ(response->Body, content_.substr(0, 100) + boundary + content_.substr(200, 100));
}

TEST_F(TransferTest, RangesThatWouldAmplifyGetTheWholeFile) {
  std::string many = "bytes=0-0";
  for (int i = 1; i <= 40; ++i) many += "," + std::to_string(i * 10) + "-" + std::to_string(i * 10);
  for (const std::string& range : {many, std::string("bytes=0-999,0-999,0-999")}) {
    Client client(port_);
    FLibHttpPacketPtr response = Ask(client, Request("track.mp3", "Range: " + range + "\r\n"));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->StatusCode, 200);
    EXPECT_EQ(Header(*response, "Content-Length"), "1000");
    EXPECT_EQ(response->Body, content_);
  }
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
  response = Ask(client, Request("big.mpg", "Range: bytes=-3\r\n"));
  ASSERT_TRUE(response);
  EXPECT_EQ(Header(*response, "Content-Range"), "bytes 5368709217-5368709219/5368709220");
  response = Ask(client, Request("big.mpg", "", "HEAD"), true);
  ASSERT_TRUE(response);
  EXPECT_EQ(Header(*response, "Content-Length"), "5368709220");
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
    FLibHttpPacketPtr response = ReadLarge(client, 60000);
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->Body == big.substr(12345)) << response->Body.size();
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
  EXPECT_EQ(Header(*response, "Content-Length"), "<none>");
  EXPECT_EQ(Header(*response, "Content-Range"), "<none>");
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
