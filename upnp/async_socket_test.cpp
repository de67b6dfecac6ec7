#include "upnp/async_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "upnp/limits.h"
#include "upnp/runtime_test_util.h"

namespace {

using runtime_test::ChainThread;
using runtime_test::Client;
using runtime_test::kLoopback;
using runtime_test::WaitFor;

// What the server side saw; written on the chain thread, read by the test.
struct Events {
  std::atomic<int> Connects{0};
  std::atomic<int> Closes{0};
  std::atomic<int> Drains{0};
  std::atomic<FLibAsyncSocket*> Last{nullptr};
};

Events* EventsOf(FLibAsyncServerSocket* server) {
  return static_cast<Events*>(FLibAsyncServerSocket_Owner(server));
}

void OnConnect(FLibAsyncServerSocket* server, FLibAsyncSocket* connection, void**) {
  EventsOf(server)->Last = connection;
  EventsOf(server)->Connects++;
}

// Keeps every byte, as a consumer waiting for the end of a line that never comes.
void KeepAll(FLibAsyncServerSocket*, FLibAsyncSocket*, char*, size_t*, size_t, void**, bool*) {}

void OnClosed(FLibAsyncServerSocket* server, FLibAsyncSocket*, void*) {
  EventsOf(server)->Closes++;
}

void OnDrained(FLibAsyncServerSocket* server, FLibAsyncSocket*, void*) {
  EventsOf(server)->Drains++;
}

class AsyncSocketTest : public ::testing::Test {
 protected:
  // Starts a one-connection server and connects a client to it.
  Client StartWithClient() {
    FLibAsyncServerSocket* server = FLibAsyncServerSocket_Create(
        chain_.Get(), 1, 0, 64, OnConnect, OnClosed, OnClosed, KeepAll, OnDrained, kLoopback);
    FLibAsyncServerSocket_SetOwner(server, &events_);
    chain_.Start();
    return Client(FLibAsyncServerSocket_BoundPort(server));
  }

  ChainThread chain_;
  Events events_;
};

TEST_F(AsyncSocketTest, InputBeyondTheBufferCapClosesTheConnection) {
  Client client = StartWithClient();
  std::string endless(upnp_limits::kReceiveBufferMaxBytes + 4096, 'y');
  client.Send(endless);
  EXPECT_TRUE(WaitFor([&] { return events_.Closes.load() == 1; }));
  EXPECT_TRUE(client.WaitClosed());
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
}

}  // namespace
