#include "streamserver/stream_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/text.h"
#include "platform/tick.h"
#include "streamserver/stream_media.h"

namespace stream_test {

namespace {

// Reads what is there within the remaining time. -1 on time-out, 0 on close.
ssize_t ReadSome(int fd, char* buffer, size_t size, uint64_t deadline) {
  for (;;) {
    uint64_t now = platform::TickCountMs();
    if (now >= deadline) return -1;
    pollfd p = {fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(deadline - now));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    ssize_t n = ::recv(fd, buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : n;
  }
}

}  // namespace

StreamServerOptions FastOptions() {
  StreamServerOptions options;
  options.KeepAliveTimeoutMs = 10000;
  options.RequestTimeoutMs = 10000;
  options.SendTimeoutMs = 5000;
  options.SlotWaitMs = 200;
  options.BindAddress = INADDR_LOOPBACK;
  return options;
}

TestServer::TestServer(const StreamServerOptions& options, const std::string& logFile) {
  server_ = StreamServer_Create(stream_limits::kServerName, stream_limits::kConfiguredPort,
                                stream_limits::kDocumentRoot, logFile);
  server_->Options = options;
  server_->Mime.LoadFile(ORVEX_MIME_TYPES_PATH);
  StreamServer_AddBuiltinHandlers(server_.get());
  StreamMedia_Install(server_.get());
  if (StreamServer_Init(server_.get()) != 0) return;
  thread_ = std::thread([this] { StreamServer_Run(server_.get()); });
  ok_ = true;
}

TestServer::~TestServer() { Stop(); }

bool TestServer::Stop(uint64_t timeoutMs) {
  if (stopped_) return true;
  stopped_ = true;
  StreamServer_Stop(server_.get());
  if (!thread_.joinable()) return true;
  uint64_t start = platform::TickCountMs();
  thread_.join();
  return platform::TickCountMs() - start <= timeoutMs;
}

platform::UniqueFd Connect(int port) {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return platform::UniqueFd();
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadUntilClosed(int fd, uint64_t timeoutMs) {
  std::string out;
  uint64_t deadline = platform::TickCountMs() + timeoutMs;
  char buffer[65536];
  for (;;) {
    ssize_t n = ReadSome(fd, buffer, sizeof buffer, deadline);
    if (n <= 0) return out;
    out.append(buffer, static_cast<size_t>(n));
  }
}

bool PeerClosed(int fd, uint64_t timeoutMs) {
  uint64_t deadline = platform::TickCountMs() + timeoutMs;
  char buffer[4096];
  for (;;) {
    ssize_t n = ReadSome(fd, buffer, sizeof buffer, deadline);
    if (n == 0) return true;
    if (n < 0) return false;
  }
}

Response ReadResponse(int fd, bool headRequest, uint64_t timeoutMs) {
  Response r;
  uint64_t deadline = platform::TickCountMs() + timeoutMs;
  std::string data;
  char c;
  // Byte by byte up to the blank line, so nothing of a following answer is taken.
  while (data.size() < 4 || data.compare(data.size() - 4, 4, "\r\n\r\n") != 0) {
    if (ReadSome(fd, &c, 1, deadline) <= 0) return r;
    data.push_back(c);
  }
  r.head = data;
  size_t lineEnd = data.find("\r\n");
  std::string statusLine = data.substr(0, lineEnd);
  if (statusLine.size() < 12) return r;
  r.status = std::stoi(statusLine.substr(9, 3));
  size_t pos = lineEnd + 2;
  while (pos < data.size() - 2) {
    size_t end = data.find("\r\n", pos);
    std::string line = data.substr(pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      if (!value.empty() && value.front() == ' ') value.erase(0, 1);
      r.headers[platform::AsciiLower(line.substr(0, colon))] = value;
    }
    pos = end + 2;
  }
  auto length = r.headers.find("content-length");
  if (headRequest || r.status == 304 || r.status == 204) {
    r.ok = true;
    return r;
  }
  if (length == r.headers.end()) {
    r.body = ReadUntilClosed(fd, deadline - platform::TickCountMs());
    r.ok = true;
    return r;
  }
  size_t want = std::stoull(length->second);
  std::string body;
  std::string buffer(65536, '\0');
  while (body.size() < want) {
    ssize_t n = ReadSome(fd, buffer.data(), std::min(buffer.size(), want - body.size()), deadline);
    if (n <= 0) break;
    body.append(buffer.data(), static_cast<size_t>(n));
  }
  r.body = body;
  r.ok = body.size() == want;
  return r;
}

Response Exchange(int port, const std::string& request, bool headRequest) {
  platform::UniqueFd fd = Connect(port);
  if (!fd.Valid() || !SendAll(fd.Get(), request)) return Response();
  return ReadResponse(fd.Get(), headRequest);
}

}  // namespace stream_test
