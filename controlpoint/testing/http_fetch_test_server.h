// An HTTP server on 127.0.0.1 for tests: each connection is answered on its own thread
// with the reply a test's handler builds from the request target. Replies are raw bytes,
// so a test can send anything, a broken status line included.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

class HttpFetchTestServer {
 public:
  struct Reply {
    std::vector<std::string> pieces;  // sent in order
  };
  using Handler = std::function<Reply(const std::string& target)>;

  explicit HttpFetchTestServer(Handler handler);
  ~HttpFetchTestServer();
  HttpFetchTestServer(const HttpFetchTestServer&) = delete;
  HttpFetchTestServer& operator=(const HttpFetchTestServer&) = delete;

  bool ok() const { return listener_.Valid(); }
  uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT" followed by `target`.
  std::string Url(std::string_view target) const;
  // The targets and the request heads received so far, in order of arrival.
  std::vector<std::string> Targets() const;
  std::vector<std::string> Heads() const;

  // A complete answer with a Content-Length.
  static Reply Answer(int status, std::string_view body, std::string_view extraHeaders = "");

 private:
  void AcceptLoop();
  void Serve(int client);

  Handler handler_;
  platform::UniqueFd listener_;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  bool stopping_ = false;  // with the mutex, like everything below
  std::vector<int> open_;  // the connections' sockets, shut down when the server stops
  std::vector<std::string> targets_;
  std::vector<std::string> heads_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};
