#include "upnp/async_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "upnp/limits.h"
#include "upnp/runtime_test_util.h"

namespace {

using runtime_test::ChainThread;
using runtime_test::Client;
using runtime_test::kLoopback;
using runtime_test::WaitFor;

// What the server side saw; written on the chain thread, read by the test.
struct Events {
  std::mutex Mutex;
  std::vector<std::string> Lines;
  std::vector<size_t> DeliveryBegins;
  std::atomic<int> Connects{0};
  std::atomic<int> Closes{0};
  std::atomic<int> Drains{0};
  std::atomic<bool> PauseAfterEachLine{false};
  std::atomic<FLibAsyncSocket*> Last{nullptr};
  std::vector<FLibAsyncSocket*> Connections;
  std::thread::id CloseThread;

  std::vector<std::string> GetLines() {
    std::lock_guard lock(Mutex);
    return Lines;
  }
};

Events* EventsOf(FLibAsyncServerSocket* server) {
  return static_cast<Events*>(FLibAsyncServerSocket_Owner(server));
}

void OnConnect(FLibAsyncServerSocket* server, FLibAsyncSocket* connection, void**) {
  Events* e = EventsOf(server);
  std::lock_guard lock(e->Mutex);
  e->Connections.push_back(connection);
  e->Last = connection;
  e->Connects++;
}

// Takes whole lines only; a partial line stays in the buffer for the next delivery.
void OnLines(FLibAsyncServerSocket* server, FLibAsyncSocket*, char* buffer, size_t* begin,
             size_t end, void**, bool* pause) {
  Events* e = EventsOf(server);
  std::lock_guard lock(e->Mutex);
  e->DeliveryBegins.push_back(*begin);
  while (*begin < end) {
    const void* nl = std::memchr(buffer + *begin, '\n', end - *begin);
    if (nl == nullptr) return;
    size_t length = static_cast<size_t>(static_cast<const char*>(nl) - (buffer + *begin));
    e->Lines.emplace_back(buffer + *begin, length);
    *begin += length + 1;
    if (e->PauseAfterEachLine) {
      *pause = true;
      return;
    }
  }
}

void OnClosed(FLibAsyncServerSocket* server, FLibAsyncSocket*, void*) {
  Events* e = EventsOf(server);
  std::lock_guard lock(e->Mutex);
  e->CloseThread = std::this_thread::get_id();
  e->Closes++;
}

void OnDrained(FLibAsyncServerSocket* server, FLibAsyncSocket*, void*) {
  EventsOf(server)->Drains++;
}

class AsyncSocketTest : public ::testing::Test {
 protected:
  FLibAsyncServerSocket* MakeServer(int pool) {
    FLibAsyncServerSocket* server = FLibAsyncServerSocket_Create(
        chain_.Get(), pool, 0, 64, OnConnect, OnClosed, OnClosed, OnLines, OnDrained, kLoopback);
    FLibAsyncServerSocket_SetOwner(server, &events_);
    return server;
  }

  // Starts a one-connection server and connects a client to it.
  Client StartWithClient() {
    FLibAsyncServerSocket* server = MakeServer(1);
    chain_.Start();
    return Client(FLibAsyncServerSocket_BoundPort(server));
  }

  ChainThread chain_;
  Events events_;
};

TEST_F(AsyncSocketTest, PartlyConsumedBytesAreOfferedAgainAtTheBufferStart) {
  FLibAsyncServerSocket* server = MakeServer(1);
  const uint16_t port = FLibAsyncServerSocket_BoundPort(server);
  EXPECT_GE(port, 50000);  // a random port of the range
  EXPECT_LE(port, 64999);
  chain_.Start();
  Client client(port);
  ASSERT_TRUE(client.Send("ab\ncd"));
  ASSERT_TRUE(WaitFor([&] { return events_.GetLines().size() == 1; }));
  ASSERT_TRUE(client.Send("e\n"));
  ASSERT_TRUE(WaitFor([&] { return events_.GetLines().size() == 2; }));
  EXPECT_EQ(events_.GetLines(), (std::vector<std::string>{"ab", "cde"}));
  {
    std::lock_guard lock(events_.Mutex);
    for (size_t begin : events_.DeliveryBegins) EXPECT_EQ(begin, 0u);
  }
  // The receive buffer grows far beyond its 64-byte start for a long line.
  std::string line(20000, 'x');
  ASSERT_TRUE(client.Send(line + "\n"));
  ASSERT_TRUE(WaitFor([&] { return events_.GetLines().size() == 3; }));
  EXPECT_EQ(events_.GetLines()[2], line);
}

TEST_F(AsyncSocketTest, InputBeyondTheBufferCapClosesTheConnection) {
  Client client = StartWithClient();
  // A line that never ends: the consumer keeps every byte.
  std::string endless(upnp_limits::kReceiveBufferMaxBytes + 4096, 'y');
  client.Send(endless);
  EXPECT_TRUE(WaitFor([&] { return events_.Closes.load() == 1; }));
  EXPECT_TRUE(client.WaitClosed());
}

TEST_F(AsyncSocketTest, PausedConnectionDeliversBufferedBytesFirstAfterResume) {
  events_.PauseAfterEachLine = true;
  Client client = StartWithClient();
  ASSERT_TRUE(client.Send("one\ntwo\n"));
  ASSERT_TRUE(WaitFor([&] { return events_.GetLines().size() == 1; }));
  ASSERT_TRUE(client.Send("three\n"));
  EXPECT_FALSE(WaitFor([&] { return events_.GetLines().size() > 1; }, 200))
      << "a paused connection is not read";
  events_.PauseAfterEachLine = false;
  FLibAsyncSocket_Resume(events_.Last.load());
  ASSERT_TRUE(WaitFor([&] { return events_.GetLines().size() == 3; }));
  EXPECT_EQ(events_.GetLines(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(AsyncSocketTest, SendKeepsOwnershipRulesAndReportsDrain) {
  Client client = StartWithClient();
  ASSERT_TRUE(WaitFor([&] { return events_.Connects.load() == 1; }));
  FLibAsyncSocket* connection = events_.Last.load();

  // Enough to fill the kernel buffers while the client does not read.
  const size_t big = 8 * 1024 * 1024;
  char* owned = static_cast<char*>(std::malloc(big));
  std::memset(owned, 'a', big);
  int first = FLibAsyncSocket_Send(connection, owned, big, FLibOwnership_Free);
  EXPECT_EQ(first, FLibSend_Queued);
  std::string kept = "caller-kept";
  EXPECT_EQ(FLibAsyncSocket_Send(connection, kept.data(), kept.size(), FLibOwnership_User),
            FLibSend_Queued);
  kept.assign(kept.size(), '#');  // the socket must have copied it
  static const char kStatic[] = "static-end";
  EXPECT_EQ(FLibAsyncSocket_Send(connection, kStatic, sizeof kStatic - 1, FLibOwnership_Static),
            FLibSend_Queued);
  EXPECT_GT(FLibAsyncSocket_PendingBytes(connection), 0u);
  EXPECT_EQ(events_.Drains.load(), 0);

  std::string received =
      client.ReadUntil([&](const std::string& r) { return r.size() >= big + 21; }, 20000);
  ASSERT_EQ(received.size(), big + 21);
  EXPECT_EQ(received.substr(big), "caller-keptstatic-end");
  EXPECT_TRUE(WaitFor([&] { return events_.Drains.load() == 1; }));
  EXPECT_EQ(FLibAsyncSocket_PendingBytes(connection), 0u);
  EXPECT_EQ(FLibAsyncSocket_TotalBytesSent(connection), big + 21);
}

TEST_F(AsyncSocketTest, SendAfterThePeerResetFailsAndClosesOnTheChainThread) {
  Client client = StartWithClient();
  ASSERT_TRUE(WaitFor([&] { return events_.Connects.load() == 1; }));
  FLibAsyncSocket* connection = events_.Last.load();
  client.ResetOnClose();
  client.Close();
  int result = FLibSend_Done;
  ASSERT_TRUE(WaitFor([&] {
    char* data = static_cast<char*>(std::malloc(16));
    std::memset(data, 'z', 16);
    result = FLibAsyncSocket_Send(connection, data, 16, FLibOwnership_Free);
    return result == FLibSend_Closed;
  }));
  ASSERT_TRUE(WaitFor([&] { return events_.Closes.load() == 1; }));
  std::lock_guard lock(events_.Mutex);
  EXPECT_NE(events_.CloseThread, std::this_thread::get_id());
  EXPECT_TRUE(FLibAsyncSocket_IsFree(connection));
}

struct ConnectResult {
  std::atomic<int> Ok{1};  // 1 = not yet reported
  std::atomic<uint32_t> LocalPort{0};
};

void RecordConnect(FLibAsyncSocket* socket, int ok, void* user) {
  auto* result = static_cast<ConnectResult*>(user);
  if (ok == -1) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(socket->Socket.Get(), reinterpret_cast<sockaddr*>(&local), &length);
    result->LocalPort = ntohs(local.sin_port);
  }
  result->Ok = ok;
}

struct Connector : FLibModule {
  FLibAsyncSocket* Socket = nullptr;
  uint16_t Port = 0;
  ConnectResult* Result = nullptr;
  bool Started = false;
};

// Connects from the chain thread, as the web client does.
void ConnectOnce(FLibModule* m, FLibSocketSet*, FLibSocketSet*, FLibSocketSet*, int32_t*) {
  auto* c = static_cast<Connector*>(m);
  if (c->Started) return;
  c->Started = true;
  FLibAsyncSocket_Connect(c->Socket, 0, kLoopback, c->Port, nullptr, c->Result);
  // Bytes sent before the connect completes wait for it.
  FLibAsyncSocket_Send(c->Socket, "early\n", 6, FLibOwnership_Static);
}

TEST_F(AsyncSocketTest, ConnectReportsSuccessAndRefusal) {
  FLibAsyncServerSocket* server = MakeServer(1);
  // A port that nothing listens on: bind one, note it, close it.
  uint16_t closedPort = 0;
  {
    FLibFd probe(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(kLoopback);
    ASSERT_EQ(::bind(probe.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t length = sizeof sa;
    ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&sa), &length);
    closedPort = ntohs(sa.sin_port);
  }
  ConnectResult good, refused;
  for (auto [port, result] : {std::pair{FLibAsyncServerSocket_BoundPort(server), &good},
                              std::pair{closedPort, &refused}}) {
    auto c = std::make_unique<Connector>();
    c->Socket = FLibAsyncSocket_Create(chain_.Get(), 256, nullptr, RecordConnect, nullptr, nullptr);
    c->Port = port;
    c->Result = result;
    c->BeforeWait = ConnectOnce;
    FLibChain_AddModule(chain_.Get(), std::move(c));
  }
  chain_.Start();
  ASSERT_TRUE(WaitFor([&] { return good.Ok.load() != 1 && refused.Ok.load() != 1; }));
  EXPECT_EQ(good.Ok.load(), -1);
  EXPECT_EQ(refused.Ok.load(), 0);
  EXPECT_GE(good.LocalPort.load(), 50000u);
  EXPECT_LE(good.LocalPort.load(), 64999u);
  ASSERT_TRUE(WaitFor([&] { return events_.GetLines().size() == 1; }));
  EXPECT_EQ(events_.GetLines()[0], "early");
}

}  // namespace
