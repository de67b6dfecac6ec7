#include "upnp/web_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tick.h"
#include "upnp/limits.h"
#include "upnp/testing/runtime_test_util.h"

namespace {

using runtime_test::ChainThread;
using runtime_test::Client;
using runtime_test::CountOf;
using runtime_test::kLoopback;
using runtime_test::WaitFor;

// Reads one response from the client's stream with the client-mode reader and removes its
// bytes; null when none arrives in time.
FLibHttpPacketPtr ReadResponse(Client& client, uint64_t timeoutMs = 5000) {
  FLibHttpPacketPtr result;
  client.ReadUntil(
      [&](const std::string& received) {
        FLibHttpReader reader;
        FLibHttpReader_Init(&reader, FLibHttpReaderMode::Client);
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

std::string Get(const std::string& target, const std::string& version = "1.1",
                const std::string& extra = "") {
  return "GET " + target + " HTTP/" + version + "\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

// The test's application: answers by the request's target.
struct App {
  std::mutex Mutex;
  std::vector<std::string> Targets;
  std::atomic<int> Closed{0};
  std::atomic<int> LastResult{1};
  std::atomic<FLibWebSession*> StreamSession{nullptr};
  std::atomic<int> NoDelay{-1};     // TCP_NODELAY of the last accepted connection
  std::atomic<int> SendBuffer{-1};  // and its SO_SNDBUF
  FLibWebServer* Server = nullptr;
};

App* g_app = nullptr;

void Respond(FLibWebSession* session, const std::string& body) {
  g_app->LastResult = FLibWebServer_SendWhole(session, 200, "OK", "", body);
}

void OnRequest(FLibWebSession* session, FLibHttpPacket* request, bool done, void*) {
  if (!done) return;
  {
    std::lock_guard lock(g_app->Mutex);
    g_app->Targets.push_back(request->Target);
  }
  const std::string& t = request->Target;
  if (t == "/echo") {
    Respond(session, request->Body);
  } else if (t == "/stream-raw") {
    FLibWebServer_BeginStreamRaw(session, 200, "OK", "\r\nContent-Type: text/plain");
    FLibWebServer_StreamPiece(session, "abc", 3, FLibOwnership_Static, false);
    g_app->LastResult = FLibWebServer_StreamPiece(session, "defg", 4, FLibOwnership_Static, true);
  } else if (t == "/whole") {
    g_app->LastResult =
        FLibWebServer_SendWhole(session, 200, "OK", "\r\nContent-Type: text/plain", "abcdefg");
  } else if (t == "/endless") {
    FLibWebServer_Hold(session);
    FLibWebServer_BeginStreamRaw(session, 200, "OK", "");
    g_app->StreamSession = session;
  } else if (t == "/long-header") {
    FLibWebServer_BeginStreamRaw(session, 200, "OK", "\r\nX-Long: " + std::string(2000, 'v'));
    FLibWebServer_StreamPiece(session, nullptr, 0, FLibOwnership_Static, true);
  } else if (t == "/raw") {
    static const char kText[] = "HTTP/1.1 404 Not Here\r\nContent-Length: 0\r\n\r\n";
    FLibWebServer_SendBytes(session, kText, sizeof kText - 1, FLibOwnership_Static, true);
  } else {
    Respond(session, "hello " + t);
  }
}

void OnSessionClosed(FLibWebSession*, void*) { g_app->Closed++; }

void OnSessionStarted(FLibWebSession* session, void*) {
  int value = -1;
  socklen_t length = sizeof value;
  if (::getsockopt(session->Socket->Socket.Get(), IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0)
    g_app->NoDelay = value;
  length = sizeof value;
  if (::getsockopt(session->Socket->Socket.Get(), SOL_SOCKET, SO_SNDBUF, &value, &length) == 0)
    g_app->SendBuffer = value;
  session->DataArrived = OnRequest;
  session->Closed = OnSessionClosed;
}

class WebServerTest : public ::testing::Test {
 protected:
  void SetUp() override { g_app = &app_; }
  void TearDown() override {
    chain_.Stop();
    g_app = nullptr;
  }

  uint16_t Start(FLibWebServerOptions options = {}, int connections = 5) {
    options.BindAddress = kLoopback;
    app_.Server =
        FLibWebServer_Create(chain_.Get(), connections, 0, OnSessionStarted, nullptr, options);
    EXPECT_NE(app_.Server, nullptr);
    chain_.Start();
    return FLibWebServer_BoundPort(app_.Server);
  }

  App app_;
  ChainThread chain_;
};

// HEAD, chunked streams and kept connections are proven by real clients, a session the
// application closes by the transfer test of a file that shrinks. Whatever form the answer
// takes, a connection that closes after it says so in the answer. HTTP/1.0 clients get the
// body as it is, never chunked, and a close even when they asked to keep the connection.
TEST_F(WebServerTest, ConnectionIsClosedAfterTheResponseUnlessKeptAlive) {
  uint16_t port = Start();
  const std::pair<const char*, std::string> cases[] = {
      {"/a", "1.1"},   {"/whole", "1.1"}, {"/stream-raw", "1.1"},
      {"/raw", "1.1"}, {"/whole", "1.0"}, {"/stream-raw", "1.0"},
  };
  for (const auto& [target, version] : cases) {
    const bool http10 = version == "1.0";
    app_.LastResult = 1;
    Client client(port);
    ASSERT_TRUE(client.Send(
        Get(target, version, http10 ? "Connection: keep-alive\r\n" : "Connection: close\r\n")));
    ASSERT_TRUE(client.WaitClosed(2000)) << target;
    const std::string& raw = client.Received();
    EXPECT_EQ(CountOf(raw.substr(0, raw.find("\r\n\r\n")), "\r\nConnection: close"), 1u) << raw;
    if (!http10) continue;
    EXPECT_EQ(raw.find("chunked"), std::string::npos) << raw;
    EXPECT_EQ(raw.substr(raw.size() - 11), "\r\n\r\nabcdefg") << raw;
    ASSERT_TRUE(WaitFor([&] { return app_.LastResult.load() == FLibWeb_Closing; })) << target;
  }
  EXPECT_GT(app_.NoDelay.load(), 0) << "accepted sockets send without delay";
  // The kernel doubles the size asked for, to allow for its own bookkeeping.
  EXPECT_EQ(app_.SendBuffer.load(), 2 * upnp_limits::kAcceptedSendBufferBytes);
}

TEST_F(WebServerTest, LongExtraHeaderIsFoldedAndReadsBackWhole) {
  uint16_t port = Start();
  Client client(port);
  ASSERT_TRUE(client.Send(Get("/long-header")));
  std::string raw = client.ReadUntilText("0\r\n\r\n");
  EXPECT_EQ(CountOf(raw, "\r\n "), 2u) << "2000 bytes go out as three pieces of at most 800";
  FLibHttpPacketPtr response = ReadResponse(client);
  ASSERT_TRUE(response);
  EXPECT_EQ(FLibHttp_HeaderValue(*response, "X-Long").value_or(""), std::string(2000, 'v'));
}

TEST_F(WebServerTest, PipelinedRequestsAreAnsweredInOrder) {
  uint16_t port = Start();
  Client client(port);
  ASSERT_TRUE(client.Send(Get("/one") + "GET /two HTTP/1.1\r\n\r\n" +
                          "POST /echo HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody" +
                          "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"));
  std::vector<std::string> bodies;
  for (int i = 0; i < 4; ++i) {
    FLibHttpPacketPtr response = ReadResponse(client);
    ASSERT_TRUE(response) << i;
    bodies.push_back(response->Body);
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"hello /one", "hello /two", "body", "abcde"}))
      << "a request without Host is served; a chunked body arrives whole";
}

// A refused request is answered and closed. A client that writes its whole request
// before it reads still gets the answer, however much of the request was left unread when
// the server answered: the rest of a long head, or a body too large to take.
TEST_F(WebServerTest, BadRequestsAreRefusedAndClosed) {
  uint16_t port = Start();
  struct Case {
    std::string Head, Rest;
    int Status;
  };
  std::vector<Case> cases = {
      {"GET / HTTP/1.1\r\nHost: rebind.example.com\r\n\r\n", "", 400},
      {"GET / HTTP/1.1\r\nX: " + std::string(17000, 'a'), std::string(3000, 'a') + "\r\n\r\n", 400},
      {"POST /echo HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n", std::string(2000000, 'b'), 413},
      {"POST /echo HTTP/1.1\r\nContent-Length: 184467440737095516160\r\n\r\n", "", 400},
      {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n12345678901234567\r\n", "", 400},
  };
  for (const Case& c : cases) {
    for (int round = 0; round < 20; ++round) {
      Client client(port);
      ASSERT_TRUE(client.Send(c.Head));
      EXPECT_TRUE(client.WaitClosed(2000));
      ASSERT_TRUE(client.Send(c.Rest)) << "reset after " << round << " rounds";
      FLibHttpPacketPtr response = ReadResponse(client);
      ASSERT_TRUE(response) << c.Head.substr(0, 60);
      EXPECT_EQ(response->StatusCode, c.Status) << c.Head.substr(0, 60);
    }
  }
  EXPECT_TRUE(app_.Targets.empty()) << "no refused request reaches a handler";
}

// A refused client that stays, a silent one, one idle after its answer and one whose body
// trickles are each cut at their own time: the server has few connections to give.
TEST_F(WebServerTest, LingeringIdleAndSlowBodyClientsAreCutInTime) {
  FLibWebServerOptions options;
  options.LingerMs = options.IdleMs = 300;
  options.BodyDeadlineMs = 800;
  uint16_t port = Start(options);
  Client refused(port), silent(port), answered(port), slow(port);
  ASSERT_TRUE(refused.Send("GET / HTTP/1.1\r\nHost: rebind.example.com\r\n\r\n"));
  ASSERT_TRUE(slow.Send("POST /echo HTTP/1.1\r\nContent-Length: 100\r\n\r\nsome"));
  uint64_t start = platform::TickCountMs();
  ASSERT_TRUE(answered.Send(Get("/a")));
  ASSERT_TRUE(ReadResponse(answered));
  for (Client* client : {&refused, &silent, &answered}) ASSERT_TRUE(client->WaitClosed(3000));
  EXPECT_GE(platform::TickCountMs() - start, 250u) << "the idle time runs from the answer";
  ASSERT_TRUE(slow.WaitClosed(3000));
  EXPECT_GE(platform::TickCountMs() - start, 600u);
  EXPECT_TRUE(WaitFor([&] { return app_.Closed.load() == 4; }));
  EXPECT_EQ(app_.Targets, std::vector<std::string>{"/a"}) << "the slow body reached no handler";
}

// A client that stops reading its answer is cut off once the queued bytes have not moved
// for the stall time: the server has few connections to give.
TEST_F(WebServerTest, ClientThatStopsReadingIsCutAtTheSendStall) {
  FLibWebServerOptions options;
  options.SendStallMs = 300;
  uint16_t port = Start(options);
  Client client(port);
  int small = 4096;
  ::setsockopt(client.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(client.Send(Get("/endless")));
  ASSERT_TRUE(WaitFor([&] { return app_.StreamSession.load() != nullptr; }));
  FLibWebSession* session = app_.StreamSession.load();
  std::string piece(65536, 'p');
  int result = FLibWeb_Sent;
  for (int i = 0; i < 200 && result == FLibWeb_Sent; ++i)
    result =
        FLibWebServer_StreamPiece(session, piece.data(), piece.size(), FLibOwnership_User, false);
  EXPECT_EQ(result, FLibWeb_Queued);
  EXPECT_TRUE(WaitFor([&] { return app_.Closed.load() == 1; }, 3000));
  FLibWebServer_Drop(session);
}

}  // namespace
