#include "controlpoint/testing/http_fetch_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

constexpr size_t kHeadLimit = 65536;
constexpr int kHeadTimeoutMs = 5000;

}  // namespace

HttpFetchTestServer::HttpFetchTestServer(Handler handler) : handler_(std::move(handler)) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
  stopRead_.Reset(pipeFds[0]);
  stopWrite_.Reset(pipeFds[1]);
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.Get(), 64) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  listener_ = std::move(fd);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

HttpFetchTestServer::~HttpFetchTestServer() {
  stopping_.store(true);
  if (stopWrite_.Valid()) {
    char byte = 1;
    (void)!::write(stopWrite_.Get(), &byte, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& t : connections) t.join();
}

std::string HttpFetchTestServer::Url(std::string_view target) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(target);
}

std::vector<std::string> HttpFetchTestServer::Targets() const {
  std::lock_guard lock(mutex_);
  return targets_;
}

std::vector<std::string> HttpFetchTestServer::Heads() const {
  std::lock_guard lock(mutex_);
  return heads_;
}

HttpFetchTestServer::Reply HttpFetchTestServer::Answer(int status, std::string_view body,
                                                       std::string_view extraHeaders) {
  // Clients judge the number only; the reason phrase is any text.
  std::string head = "HTTP/1.1 " + std::to_string(status) + " Answer" +
                     "\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n" + std::string(extraHeaders) + "\r\n";
  return Reply{{head + std::string(body)}, 0, false};
}

bool HttpFetchTestServer::WaitReadable(int fd, int timeoutMs) const {
  pollfd fds[2] = {{fd, POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
  int n = ::poll(fds, 2, timeoutMs);
  return n > 0 && fds[1].revents == 0 && !stopping_.load();
}

void HttpFetchTestServer::AcceptLoop() {
  while (WaitReadable(listener_.Get(), -1)) {
    platform::UniqueFd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.Valid()) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back(
        [this, fd = client.Release()]() mutable { Serve(platform::UniqueFd(fd)); });
  }
}

void HttpFetchTestServer::Serve(platform::UniqueFd client) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kHeadLimit) {
    if (!WaitReadable(client.Get(), kHeadTimeoutMs)) return;
    ssize_t n = ::recv(client.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) return;
    head.append(buffer, static_cast<size_t>(n));
  }
  size_t start = head.find(' ');
  size_t end = start == std::string::npos ? start : head.find(' ', start + 1);
  std::string target =
      end == std::string::npos ? std::string() : head.substr(start + 1, end - start - 1);
  {
    std::lock_guard lock(mutex_);
    targets_.push_back(target);
    heads_.push_back(head);
  }
  Reply reply = handler_(target);
  for (size_t i = 0; i < reply.pieces.size(); ++i) {
    if (i > 0 && reply.pauseMs > 0) {
      // The pause ends early when the server stops or the client goes away.
      if (WaitReadable(client.Get(), reply.pauseMs) || stopping_.load()) return;
    }
    const std::string& piece = reply.pieces[i];
    size_t sent = 0;
    while (sent < piece.size()) {
      ssize_t n = ::send(client.Get(), piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
  if (!reply.hold) return;
  while (WaitReadable(client.Get(), -1)) {
    if (::recv(client.Get(), buffer, sizeof buffer, 0) <= 0) return;
  }
}
