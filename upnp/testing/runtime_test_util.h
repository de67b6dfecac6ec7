// Helpers of the runtime tests: a chain on its own thread and a blocking loopback client.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "platform/testing/test_support.h"
#include "platform/tick.h"
#include "upnp/chain.h"
#include "upnp/socket_util.h"

namespace runtime_test {

inline constexpr uint32_t kLoopback = 0x7F000001;

// The shared wait of the tests, under the name the runtime tests use.
inline bool WaitFor(const std::function<bool()>& condition, uint64_t timeoutMs = 5000) {
  return platform::testing::WaitUntil(condition, timeoutMs);
}

// Owns a chain; Start runs it on a thread, the destructor stops and joins it.
class ChainThread {
 public:
  ChainThread() : chain_(FLibChain_Create()) {}
  ~ChainThread() { Stop(); }
  FLibChain* Get() { return chain_.get(); }
  void Start() {
    thread_ = std::thread([this] { FLibChain_Start(chain_.get()); });
    WaitFor([this] { return chain_->Running.load(); });
  }
  void Stop() {
    if (!thread_.joinable()) return;
    FLibChain_Stop(chain_.get());
    thread_.join();
  }

 private:
  FLibChainPtr chain_;
  std::thread thread_;
};

// A blocking TCP client on loopback.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(kLoopback);
    sa.sin_port = htons(port);
    connected_ = ::connect(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  // Wraps an accepted connection.
  explicit Client(FLibFd fd) : fd_(std::move(fd)), connected_(fd_.Valid()) {}
  bool Connected() const { return connected_; }
  int Fd() const { return fd_.Get(); }

  bool Send(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::send(fd_.Get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads until `done(received)` holds, the peer closes, or the time runs out.
  std::string ReadUntil(const std::function<bool(const std::string&)>& done,
                        uint64_t timeoutMs = 5000) {
    uint64_t end = platform::TickCountMs() + timeoutMs;
    while (!done(received_) && !closed_) {
      uint64_t now = platform::TickCountMs();
      if (now >= end) break;
      pollfd p{fd_.Get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(end - now)) <= 0) continue;
      char buffer[65536];
      ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      received_.append(buffer, static_cast<size_t>(n));
    }
    return received_;
  }
  std::string ReadUntilText(const std::string& text, uint64_t timeoutMs = 5000) {
    return ReadUntil([&](const std::string& r) { return r.find(text) != std::string::npos; },
                     timeoutMs);
  }
  // True when the peer closes within the time.
  bool WaitClosed(uint64_t timeoutMs = 5000) {
    ReadUntil([](const std::string&) { return false; }, timeoutMs);
    return closed_;
  }
  bool Closed() const { return closed_; }
  std::string& Received() { return received_; }
  // Sends an RST instead of a FIN when closed.
  void ResetOnClose() {
    linger l{1, 0};
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  void Close() { fd_.Reset(); }

 private:
  FLibFd fd_;
  bool connected_ = false;
  bool closed_ = false;
  std::string received_;
};

// A listening socket on loopback at a port the system chooses.
class Listener {
 public:
  Listener() {
    fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(kLoopback);
    socklen_t length = sizeof sa;
    ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(fd_.Get(), 16);
    ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), &length);
    port_ = ntohs(sa.sin_port);
  }
  uint16_t Port() const { return port_; }
  // Waits up to `timeoutMs` for a connection; the result is not Connected() on time-out.
  Client Accept(uint64_t timeoutMs = 5000) {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeoutMs)) <= 0) return Client(FLibFd());
    return Client(FLibFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC)));
  }

 private:
  FLibFd fd_;
  uint16_t port_ = 0;
};

// Counts non-overlapping occurrences of `what` in `text`.
inline size_t CountOf(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
    ++count;
  return count;
}

}  // namespace runtime_test
