#include "upnp/async_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "upnp/limits.h"
#include "upnp/testing/runtime_test_util.h"

namespace {

// Sending, queueing and the ownership of sent bytes are proven by the web server's send
// stall case and by real clients reading whole files byte for byte; this is the receive
// side's cap.
std::atomic<int> g_closes{0};

void OnConnect(FLibAsyncServerSocket*, FLibAsyncSocket*, void**) {}
// Keeps every byte, as a consumer waiting for the end of a line that never comes.
void KeepAll(FLibAsyncServerSocket*, FLibAsyncSocket*, char*, size_t*, size_t, void**, bool*) {}
void OnClosed(FLibAsyncServerSocket*, FLibAsyncSocket*, void*) { g_closes++; }
void OnDrained(FLibAsyncServerSocket*, FLibAsyncSocket*, void*) {}

TEST(AsyncSocketTest, InputBeyondTheBufferCapClosesTheConnection) {
  runtime_test::ChainThread chain;
  FLibAsyncServerSocket* server =
      FLibAsyncServerSocket_Create(chain.Get(), 1, 0, 64, OnConnect, OnClosed, OnClosed, KeepAll,
                                   OnDrained, runtime_test::kLoopback);
  chain.Start();
  runtime_test::Client client(FLibAsyncServerSocket_BoundPort(server));
  client.Send(std::string(upnp_limits::kReceiveBufferMaxBytes + 4096, 'y'));
  EXPECT_TRUE(runtime_test::WaitFor([] { return g_closes.load() == 1; }));
  EXPECT_TRUE(client.WaitClosed());
}

}  // namespace
