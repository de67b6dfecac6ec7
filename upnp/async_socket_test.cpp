#include "upnp/async_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "upnp/limits.h"
#include "upnp/testing/runtime_test_util.h"

namespace {

// What the server side saw; written on the chain thread, read by the test.
std::atomic<int> g_closes{0}, g_drains{0};
std::atomic<FLibAsyncSocket*> g_connection{nullptr};

void OnConnect(FLibAsyncServerSocket*, FLibAsyncSocket* connection, void**) {
  g_connection = connection;
}
// Keeps every byte, as a consumer waiting for the end of a line that never comes.
void KeepAll(FLibAsyncServerSocket*, FLibAsyncSocket*, char*, size_t*, size_t, void**, bool*) {}
void OnClosed(FLibAsyncServerSocket*, FLibAsyncSocket*, void*) { g_closes++; }
void OnDrained(FLibAsyncServerSocket*, FLibAsyncSocket*, void*) { g_drains++; }

class AsyncSocketTest : public ::testing::Test {
 protected:
  AsyncSocketTest() {
    g_closes = g_drains = 0;
    g_connection = nullptr;
    FLibAsyncServerSocket* server =
        FLibAsyncServerSocket_Create(chain_.Get(), 1, 0, 64, OnConnect, OnClosed, OnClosed, KeepAll,
                                     OnDrained, runtime_test::kLoopback);
    chain_.Start();
    port_ = FLibAsyncServerSocket_BoundPort(server);
  }

  runtime_test::ChainThread chain_;
  uint16_t port_ = 0;
};

TEST_F(AsyncSocketTest, InputBeyondTheBufferCapClosesTheConnection) {
  runtime_test::Client client(port_);
  client.Send(std::string(upnp_limits::kReceiveBufferMaxBytes + 4096, 'y'));
  EXPECT_TRUE(runtime_test::WaitFor([] { return g_closes.load() == 1; }));
  EXPECT_TRUE(client.WaitClosed());
}

// Bytes queued behind a full kernel buffer keep their ownership rules: freed, copied or
// borrowed as the caller said, and sent in order once the client reads; the drain is
// reported once. After the client is gone, a buffer handed over is still freed.
TEST_F(AsyncSocketTest, QueuedSendsKeepOwnershipAndOrderAndReportTheDrain) {
  runtime_test::Client client(port_);
  ASSERT_TRUE(runtime_test::WaitFor([] { return g_connection.load() != nullptr; }));
  FLibAsyncSocket* connection = g_connection.load();
  const size_t big = 8 * 1024 * 1024;  // more than the kernel buffers hold
  char* owned = static_cast<char*>(std::malloc(big));
  std::memset(owned, 'a', big);
  EXPECT_EQ(FLibAsyncSocket_Send(connection, owned, big, FLibOwnership_Free), FLibSend_Queued);
  std::string kept = "caller-kept";
  EXPECT_EQ(FLibAsyncSocket_Send(connection, kept.data(), kept.size(), FLibOwnership_User),
            FLibSend_Queued);
  kept.assign(kept.size(), '#');  // the socket must have copied it
  static const char kStatic[] = "static-end";
  EXPECT_EQ(FLibAsyncSocket_Send(connection, kStatic, sizeof kStatic - 1, FLibOwnership_Static),
            FLibSend_Queued);
  EXPECT_EQ(g_drains.load(), 0);
  std::string received =
      client.ReadUntil([&](const std::string& r) { return r.size() >= big + 21; }, 20000);
  ASSERT_EQ(received.size(), big + 21);
  EXPECT_EQ(received.substr(big), "caller-keptstatic-end");
  EXPECT_TRUE(runtime_test::WaitFor([] { return g_drains.load() == 1; }));
  EXPECT_EQ(FLibAsyncSocket_PendingBytes(connection), 0u);

  client.ResetOnClose();
  client.Close();
  ASSERT_TRUE(runtime_test::WaitFor([&] {
    return FLibAsyncSocket_Send(connection, static_cast<char*>(std::malloc(4)), 4,
                                FLibOwnership_Free) == FLibSend_Closed;
  }));
}

}  // namespace
