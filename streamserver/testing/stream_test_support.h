// Test helpers: an in-process stream server on 127.0.0.1, and its answers read one at a
// time off a loopback client.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <thread>

#include "library/library.h"
#include "streamserver/stream_server.h"
#include "upnp/testing/runtime_test_util.h"

namespace stream_test {

using runtime_test::Client;

// Options with short times for tests, listening on loopback.
StreamServerOptions FastOptions();

// A server with the MIME table of the source tree, the four built-in handlers and the
// media handlers, running its accept loop on a thread until destroyed.
class TestServer {
 public:
  explicit TestServer(const StreamServerOptions& options = FastOptions(),
                      const std::string& logFile = "");
  ~TestServer() { Stop(); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  bool ok() const { return ok_; }
  uint16_t port() const { return static_cast<uint16_t>(server_->Port.load()); }
  StreamServer* server() { return server_.get(); }
  // True when connection slot `index` is (or is not) in use within the time.
  bool WaitForSlot(size_t index, bool inUse, uint64_t timeoutMs = 5000);
  // Stops and joins the accept loop.
  void Stop();

 private:
  std::unique_ptr<StreamServer> server_;
  std::thread thread_;
  bool ok_ = false;
};

struct Response {
  bool ok = false;  // the whole answer arrived
  int status = 0;
  std::string head;                            // through the blank line
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// Reads one answer off `client` and takes its bytes: the head, then Content-length bytes
// of body (none for the answer to a HEAD, a 204 or a 304; up to the close without a length).
Response ReadResponse(Client& client, bool headRequest = false, uint64_t timeoutMs = 5000);

// Adds a record of the library for `path` (a file, a folder or an internet address); false
// when the row could not be written.
bool AddItem(int32_t index, const std::string& path, const std::string& fileType, int32_t flags = 0,
             int64_t size = 0, const std::string& cover = "", int32_t objectType = kObjectItem);

// Connects, sends `request` and reads one answer.
Response Exchange(uint16_t port, const std::string& request, uint64_t timeoutMs = 5000);

}  // namespace stream_test
