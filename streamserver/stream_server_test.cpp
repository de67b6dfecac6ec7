#include "streamserver/stream_server.h"

#include <gtest/gtest.h>

#include <memory>

#include "library/testing/temp_library.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"
#include "streamserver/testing/stream_test_support.h"
#include "upnp/base64.h"

namespace {

using stream_test::Client;
using stream_test::Exchange;
using stream_test::ReadResponse;
using stream_test::Response;

// Keep-alive over 100 calls is proven by the real-client suite; these are the limits and
// time-outs it cannot reach. The media handlers read the library, so every test has one.
class StreamServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lib_.ok()); }
  void Start(const StreamServerOptions& options = stream_test::FastOptions(),
             const std::string& log = "") {
    server_ = std::make_unique<stream_test::TestServer>(options, log);
    ASSERT_TRUE(server_->ok());
  }
  Response Get(const std::string& target, const std::string& headers = "") {
    return Exchange(server_->port(), "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n");
  }
  TempLibrary lib_;
  std::unique_ptr<stream_test::TestServer> server_;
};

// The access log names the peer, the request, the status and the bytes sent.
TEST_F(StreamServerTest, BuiltinPagesAnswerTheirOwnPathsAndTimeNeedsThePassword) {
  Start(stream_test::FastOptions(), lib_.Path("access.log"));
  Response name = Get("/name");
  EXPECT_EQ(name.headers["content-type"], "text/html");
  EXPECT_EQ(name.body, "<HTML><BODY>Server name is HTTPServer</BODY></HTML>");
  EXPECT_EQ(Get("/mime/MP3").body, "<HTML><BODY>audio/mpeg</BODY></HTML>");
  EXPECT_EQ(Get("/status/204").head.rfind("HTTP/1.1 204 No Content\r\n", 0), 0u);
  EXPECT_EQ(Get("/status/99999999999").status, 400);
  // "/name" answers only exactly; "/names" goes to the media handler, which has no record.
  EXPECT_EQ(Get("/names").status, 404);
  Response refused = Get("/time");
  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(refused.headers["www-authenticate"], "Basic realm=\"Mot de passe\"");
  std::string credentials =
      FLibBase64_Encode(std::string(stream_limits::kTimeUser) + ":" + stream_limits::kTimePassword);
  Response allowed = Get("/time", "Authorization: BASIC " + credentials + "\r\n");
  EXPECT_EQ(allowed.body.rfind("<HTML><BODY>The time is ", 0), 0u);
  for (const std::string& wrong :
       {"Basic " + FLibBase64_Encode("user:wrong"), std::string("Basic")})
    EXPECT_EQ(Get("/time", "Authorization: " + wrong + "\r\n").status, 401) << wrong;
  server_->Stop();
  std::string log = platform::testing::ReadFile(lib_.Path("access.log"));
  EXPECT_EQ(log.rfind("127.0.0.1 - - - [", 0), 0u) << log;
  EXPECT_NE(log.find("] \"GET /mime/MP3 HTTP/1.1\" 200 36\n"), std::string::npos) << log;
}

TEST_F(StreamServerTest, VersionUriAndHostChecks) {
  Start();
  const std::pair<const char*, int> cases[] = {
      {"GET /name HTTP/1.2\r\n\r\n", 505},
      {"GET /name HTTP/1.1\r\nHost: media.example.com\r\n\r\n", 400},
      {"GET http://rebind.example/name HTTP/1.1\r\n\r\n", 400},
      {"GET /name HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", 200},
      {"GET http://127.0.0.1:1/name HTTP/1.1\r\n\r\n", 200},
      // A body no handler reads ends the connection even when it was to be kept.
      {"GET /name HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 4\r\n\r\nGET ", 200},
  };
  // None asks to keep the connection in a form that may be kept, and errors always close.
  for (const auto& [request, status] : cases) {
    Response r = Exchange(server_->port(), request);
    EXPECT_EQ(r.status, status) << request;
    EXPECT_EQ(r.headers["connection"], "close") << request;
  }
}

// A client that writes its whole request before it reads gets the answer, however much
// of the request the server left unread when it answered and ended the connection: the
// rest of a refused head, or a body no handler reads.
TEST_F(StreamServerTest, AnswerReachesAClientStillSendingItsRequest) {
  Start();
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
      Client client(server_->port());
      ASSERT_TRUE(client.Send(c.Head));
      ASSERT_EQ(ReadResponse(client).status, c.Status) << round;
      EXPECT_TRUE(client.WaitClosed(2000));
      ASSERT_TRUE(client.Send(c.Rest)) << "reset after " << round << " rounds";
    }
  }
}

// An idle connection ends after the keep-alive time; one that trickles its head a line at
// a time ends at the head's deadline, which the lines do not extend.
TEST_F(StreamServerTest, IdleAndTricklingConnectionsAreClosedInTime) {
  StreamServerOptions options = stream_test::FastOptions();
  options.KeepAliveTimeoutMs = 200;
  options.RequestTimeoutMs = 400;
  Start(options);
  Client idle(server_->port());
  uint64_t start = platform::TickCountMs();
  EXPECT_TRUE(idle.WaitClosed(3000));
  EXPECT_GE(platform::TickCountMs() - start, 150u);

  Client trickle(server_->port());
  start = platform::TickCountMs();
  ASSERT_TRUE(trickle.Send("GET /name HTTP/1.1\r\n"));
  while (platform::TickCountMs() - start < 4000 && trickle.Send("X: y\r\n") &&
         trickle.ReadUntil([](const std::string& r) { return !r.empty(); }, 50).empty()) {
  }
  EXPECT_EQ(trickle.ReadUntil([](const std::string& r) { return r.size() > 13; }, 1000)
                .rfind("HTTP/1.1 408 ", 0),
            0u);
  EXPECT_LT(platform::TickCountMs() - start, 2000u);
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
