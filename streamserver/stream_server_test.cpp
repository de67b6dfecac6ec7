#include "streamserver/stream_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "library/testing/temp_library.h"
#include "platform/test_support.h"
#include "platform/tick.h"
#include "streamserver/stream_test_support.h"
#include "upnp/base64.h"

namespace {

using stream_test::Connect;
using stream_test::Exchange;
using stream_test::PeerClosed;
using stream_test::ReadResponse;
using stream_test::Response;
using stream_test::SendAll;
using stream_test::TestServer;

// The media handlers read the library, so every server test has one.
class StreamServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lib_.ok()); }
  bool Start(const StreamServerOptions& options = stream_test::FastOptions()) {
    server_ = std::make_unique<TestServer>(options);
    return server_->ok();
  }
  int port() const { return server_->port(); }
  TempLibrary lib_;
  std::unique_ptr<TestServer> server_;
};

TEST_F(StreamServerTest, BuiltinPagesAnswerTheirOwnPathsAndTimeNeedsThePassword) {
  ASSERT_TRUE(Start());
  Response name = Exchange(port(), "GET /name HTTP/1.1\r\n\r\n");
  EXPECT_EQ(name.headers["content-type"], "text/html");
  EXPECT_EQ(name.body, "<HTML><BODY>Server name is HTTPServer</BODY></HTML>");

  EXPECT_EQ(Exchange(port(), "GET /mime/MP3 HTTP/1.1\r\n\r\n").body,
            "<HTML><BODY>audio/mpeg</BODY></HTML>");

  Response status = Exchange(port(), "GET /status/204 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(status.head.rfind("HTTP/1.1 204 No Content\r\n", 0), 0u);
  EXPECT_EQ(Exchange(port(), "GET /status/99999999999 HTTP/1.1\r\n\r\n").status, 400);
  // "/name" answers only exactly; "/names" goes to the media handler, which has no record.
  EXPECT_EQ(Exchange(port(), "GET /names HTTP/1.1\r\n\r\n").status, 404);
  // The time page needs the password.
  Response refused = Exchange(port(), "GET /time HTTP/1.1\r\n\r\n");
  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(refused.headers["www-authenticate"], "Basic realm=\"Mot de passe\"");
  EXPECT_EQ(refused.headers["connection"], "close");

  std::string credentials =
      FLibBase64_Encode(std::string(stream_limits::kTimeUser) + ":" + stream_limits::kTimePassword);
  Response allowed =
      Exchange(port(), "GET /time HTTP/1.1\r\nAuthorization: Basic " + credentials + "\r\n\r\n");
  EXPECT_EQ(allowed.status, 200);
  EXPECT_EQ(allowed.body.rfind("<HTML><BODY>The time is ", 0), 0u);
}

TEST_F(StreamServerTest, VersionUriAndHostChecks) {
  ASSERT_TRUE(Start());
  const std::pair<const char*, int> cases[] = {
      {"GET /name HTTP/1.2\r\n\r\n", 505},
      {"GET /name HTTP/1.1\r\nHost: media.example.com\r\n\r\n", 400},
      {"GET http://rebind.example/name HTTP/1.1\r\n\r\n", 400},
      {"GET /name HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", 200},
      {"GET http://127.0.0.1:1/name HTTP/1.1\r\n\r\n", 200},
  };
  for (const auto& [request, status] : cases) {
    Response r = Exchange(port(), request);
    EXPECT_EQ(r.status, status) << request;
    if (status >= 400) {
      EXPECT_EQ(r.headers["connection"], "close") << request;
    }
  }
}

// A client that writes its whole request before it reads gets the answer, however much
// of the request the server left unread when it answered and ended the connection: the
// rest of a refused head, or a body no handler reads.
TEST_F(StreamServerTest, AnswerReachesAClientStillSendingItsRequest) {
  ASSERT_TRUE(Start());
  struct Case {
    std::string Head, Rest;
    int Status;
  } cases[] = {
      {"GET /name HTTP/1.1\r\nX: " + std::string(17000, 'a'), std::string(3000, 'a') + "\r\n\r\n",
       400},
      {"POST /name HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n", std::string(2000000, 'b'), 200},
  };
  for (const Case& c : cases) {
    for (int round = 0; round < 20; ++round) {
      platform::UniqueFd fd = Connect(port());
      ASSERT_TRUE(SendAll(fd.Get(), c.Head));
      ASSERT_EQ(ReadResponse(fd.Get()).status, c.Status) << round;
      EXPECT_TRUE(PeerClosed(fd.Get(), 2000));
      ASSERT_TRUE(SendAll(fd.Get(), c.Rest)) << "reset after " << round << " rounds";
    }
  }
}

TEST_F(StreamServerTest, TenRequestsPerConnectionThenCloseAndPipelinedOnesInOrder) {
  ASSERT_TRUE(Start());
  platform::UniqueFd fd = Connect(port());
  for (int i = 1; i <= 10; ++i) {
    ASSERT_TRUE(SendAll(fd.Get(), "GET /name HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"));
    Response r = ReadResponse(fd.Get());
    ASSERT_TRUE(r.ok) << i;
    if (i < 10) {
      EXPECT_EQ(r.headers["connection"], "Keep-Alive") << i;
      EXPECT_EQ(r.headers["keep-alive"], "timeout=10, max=10") << i;
    } else {
      EXPECT_EQ(r.headers["connection"], "close");
    }
  }
  // The eleventh request is never read: the server has closed.
  SendAll(fd.Get(), "GET /name HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_TRUE(PeerClosed(fd.Get(), 2000));
  // Pipelined requests are answered in order.
  fd = Connect(port());
  ASSERT_TRUE(SendAll(fd.Get(),
                      "GET /mime/mp3 HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"
                      "GET /mime/jpg HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"));
  EXPECT_EQ(ReadResponse(fd.Get()).body, "<HTML><BODY>audio/mpeg</BODY></HTML>");
  EXPECT_EQ(ReadResponse(fd.Get()).body, "<HTML><BODY>image/jpeg</BODY></HTML>");
}

TEST_F(StreamServerTest, WithoutKeepAliveOrWithABodyTheConnectionCloses) {
  ASSERT_TRUE(Start());
  for (const char* request : {"GET /name HTTP/1.1\r\n\r\n",
                              "GET /name HTTP/1.1\r\nConnection: keep-alive\r\n"
                              "Content-Length: 4\r\n\r\nGET "}) {
    platform::UniqueFd fd = Connect(port());
    ASSERT_TRUE(SendAll(fd.Get(), request));
    Response r = ReadResponse(fd.Get());
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["connection"], "close");
    EXPECT_TRUE(PeerClosed(fd.Get(), 2000));
  }
}

TEST_F(StreamServerTest, IdleConnectionIsClosedAfterTheKeepAliveTime) {
  StreamServerOptions options = stream_test::FastOptions();
  options.KeepAliveTimeoutMs = 200;
  ASSERT_TRUE(Start(options));
  platform::UniqueFd fd = Connect(port());
  uint64_t start = platform::TickCountMs();
  EXPECT_TRUE(PeerClosed(fd.Get(), 3000));
  EXPECT_GE(platform::TickCountMs() - start, 150u);
}

TEST_F(StreamServerTest, TricklingBytesDoesNotExtendTheHeadDeadline) {
  StreamServerOptions options = stream_test::FastOptions();
  options.RequestTimeoutMs = 400;
  ASSERT_TRUE(Start(options));
  platform::UniqueFd fd = Connect(port());
  uint64_t start = platform::TickCountMs();
  ASSERT_TRUE(SendAll(fd.Get(), "GET /name HTTP/1.1\r\n"));
  std::string received;
  // One header line every 50 ms, each well within any per-line limit.
  while (platform::TickCountMs() - start < 4000) {
    if (!SendAll(fd.Get(), "X: y\r\n")) {
      received += stream_test::ReadUntilClosed(fd.Get(), 1000);
      break;
    }
    received += stream_test::ReadUntilClosed(fd.Get(), 50);
    if (!received.empty()) break;
  }
  EXPECT_EQ(received.rfind("HTTP/1.1 408 ", 0), 0u);
  EXPECT_LT(platform::TickCountMs() - start, 2000u);
}

TEST_F(StreamServerTest, SixteenSlotsAndTheSeventeenthWaits) {
  ASSERT_TRUE(Start());
  std::vector<platform::UniqueFd> busy;
  for (size_t i = 0; i < stream_limits::kConnectionSlots; ++i) {
    busy.push_back(Connect(port()));
    ASSERT_TRUE(busy.back().Valid());
  }
  // Every slot holds an idle connection; make sure each was taken by a slot.
  ASSERT_TRUE(platform::testing::WaitUntil([&] {
    std::lock_guard<std::mutex> lock(server_->server()->SlotLock);
    for (const auto& slot : server_->server()->Slots) {
      if (!slot.InUse) return false;
    }
    return true;
  }));
  platform::UniqueFd waiting = Connect(port());
  ASSERT_TRUE(waiting.Valid());
  ASSERT_TRUE(SendAll(waiting.Get(), "GET /name HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(stream_test::ReadUntilClosed(waiting.Get(), 300), "");
  busy.front().Reset();
  Response r = ReadResponse(waiting.Get(), false, 5000);
  EXPECT_EQ(r.status, 200);
}

TEST_F(StreamServerTest, StopEndsIdleConnectionsPromptly) {
  ASSERT_TRUE(Start());
  platform::UniqueFd idle = Connect(port());
  platform::UniqueFd partial = Connect(port());
  ASSERT_TRUE(SendAll(partial.Get(), "GET /na"));
  ASSERT_TRUE(platform::testing::WaitUntil([&] {
    std::lock_guard<std::mutex> lock(server_->server()->SlotLock);
    return server_->server()->Slots[1].InUse;
  }));
  uint64_t start = platform::TickCountMs();
  EXPECT_TRUE(server_->Stop());
  EXPECT_LT(platform::TickCountMs() - start, 2000u);
  EXPECT_TRUE(PeerClosed(idle.Get(), 1000));
}

TEST_F(StreamServerTest, LogLineNamesPeerRequestStatusAndBytes) {
  std::string log = lib_.Path("access.log");
  {
    TestServer server(stream_test::FastOptions(), log);
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(Exchange(server.port(), "GET /mime/mp3 HTTP/1.1\r\n\r\n").status, 200);
  }
  std::string text = platform::testing::ReadFile(log);
  EXPECT_EQ(text.rfind("127.0.0.1 - - - [", 0), 0u) << text;
  EXPECT_NE(text.find("] \"GET /mime/mp3 HTTP/1.1\" 200 36\n"), std::string::npos) << text;
}

TEST_F(StreamServerTest, FailureToListenLeavesThePortUnsetAndTheProcessRunning) {
  StreamServerOptions options = stream_test::FastOptions();
  options.BindAddress = 0xCB007101;  // 203.0.113.1: no interface of this host has it
  auto server = StreamServer_Create("s", 80, "", "");
  server->Options = options;
  EXPECT_EQ(StreamServer_Init(server.get()), -1);
  EXPECT_EQ(server->Port.load(), -1);

  StreamServer_Start(options);
  EXPECT_FALSE(platform::testing::WaitUntil([] { return StreamServer_Port() != -1; }, 300));
  StreamServer_Shutdown();
  EXPECT_EQ(StreamServer_Port(), -1);
}

}  // namespace
