// Test helpers: an in-process stream server on 127.0.0.1 and raw loopback clients that
// read answers byte for byte.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "streamserver/stream_server.h"

namespace stream_test {

// Options with short times for tests, listening on loopback.
StreamServerOptions FastOptions();

// A server with the MIME table of the source tree, the four built-in handlers and the
// media handlers, running its accept loop on a thread until destroyed.
class TestServer {
 public:
  explicit TestServer(const StreamServerOptions& options = FastOptions(),
                      const std::string& logFile = "");
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  bool ok() const { return ok_; }
  int port() const { return server_->Port.load(); }
  StreamServer* server() { return server_.get(); }
  // Stops and joins; true when the accept loop ended within the time limit.
  bool Stop(uint64_t timeoutMs = 5000);

 private:
  std::unique_ptr<StreamServer> server_;
  std::thread thread_;
  bool ok_ = false;
  bool stopped_ = false;
};

platform::UniqueFd Connect(int port);
bool SendAll(int fd, const std::string& data);

// Reads until the peer closes or `timeoutMs` passes.
std::string ReadUntilClosed(int fd, uint64_t timeoutMs = 5000);

// True when the peer has closed the connection (read returns 0 or fails) within the time.
bool PeerClosed(int fd, uint64_t timeoutMs);

struct Response {
  bool ok = false;
  std::string head;  // status line and header lines, through the blank line
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// Reads one answer: the head, then Content-length bytes of body (none for HEAD answers
// when `headRequest`; to the close when there is no Content-length).
Response ReadResponse(int fd, bool headRequest = false, uint64_t timeoutMs = 5000);

// Connects, sends `request` and reads one answer.
Response Exchange(int port, const std::string& request, bool headRequest = false);

}  // namespace stream_test
