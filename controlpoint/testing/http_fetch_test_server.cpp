#include "controlpoint/testing/http_fetch_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr size_t kHeadLimit = 65536;
constexpr int kHeadTimeoutMs = 5000;

// True when `fd` has something to read (or has been closed or shut down) within the time.
bool Readable(int fd, int timeoutMs) {
  pollfd entry = {fd, POLLIN, 0};
  return ::poll(&entry, 1, timeoutMs) > 0;
}

}  // namespace

HttpFetchTestServer::HttpFetchTestServer(Handler handler) : handler_(std::move(handler)) {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.Get(), 64) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  listener_ = std::move(fd);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

// Shutting the sockets down wakes the acceptor and every connection's read or pause.
HttpFetchTestServer::~HttpFetchTestServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (listener_.Valid()) ::shutdown(listener_.Get(), SHUT_RDWR);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : connections_) t.join();
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
  return Reply{{head + std::string(body)}};
}

void HttpFetchTestServer::AcceptLoop() {
  for (;;) {
    int client = ::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard lock(mutex_);
    if (stopping_) {
      if (client >= 0) ::close(client);
      return;
    }
    if (client < 0) continue;
    open_.push_back(client);
    connections_.emplace_back([this, client] { Serve(client); });
  }
}

void HttpFetchTestServer::Serve(int client) {
  platform::UniqueFd owner(client);
  std::string head;
  char buffer[4096];
  ssize_t n = 1;
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kHeadLimit && n > 0) {
    n = Readable(client, kHeadTimeoutMs) ? ::recv(client, buffer, sizeof buffer, 0) : 0;
    if (n > 0) head.append(buffer, static_cast<size_t>(n));
  }
  Reply reply;
  if (n > 0) {
    size_t start = head.find(' ');
    size_t end = start == std::string::npos ? start : head.find(' ', start + 1);
    std::string target =
        end == std::string::npos ? std::string() : head.substr(start + 1, end - start - 1);
    {
      std::lock_guard lock(mutex_);
      targets_.push_back(target);
      heads_.push_back(head);
    }
    reply = handler_(target);
  }
  for (const std::string& piece : reply.pieces) {
    size_t sent = 0;
    while (sent < piece.size() && n > 0) {
      n = ::send(client, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
      sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
  }
  // Forgotten before it closes, so that a stop never shuts down a number reused since.
  std::lock_guard lock(mutex_);
  open_.erase(std::find(open_.begin(), open_.end(), client));
}
