// canned_server: the least a server can do for an answer, as a floor for the figures of
// bench/browse/run. Answers each request with a file's bytes as they are, reading nothing
// and making nothing.
//
//   canned_server PORT DIR
//
// Listens on 127.0.0.1:PORT and serves one connection at a time on one thread: each
// request (its head, and its body by Content-Length) for path /NAME is answered with
// "HTTP/1.1 200 OK" and the bytes of DIR/NAME, read once, at the first request for it;
// the connection is kept unless the request asked to close it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Takes one request out of `pending`, reading more as needed, and gives its head in
// lower case; false at the end of the connection.
bool ReadRequest(int fd, std::string* pending, std::string* head) {
  char buffer[16384];
  for (;;) {
    size_t end = pending->find("\r\n\r\n");
    if (end != std::string::npos) {
      *head = Lower(pending->substr(0, end + 4));
      size_t at = head->find("\r\ncontent-length:");
      size_t length =
          at == std::string::npos ? 0 : std::strtoul(head->c_str() + at + 17, nullptr, 10);
      if (pending->size() >= end + 4 + length) {
        pending->erase(0, end + 4 + length);
        return true;
      }
    }
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: canned_server PORT DIR\n");
    return 2;
  }
  std::string dir = argv[2];
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(listener, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 128) != 0) {
    std::perror("canned_server: listen");
    return 1;
  }
  std::map<std::string, std::string> files;  // name: its bytes, read at the first request
  for (;;) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string pending, head;
    while (ReadRequest(fd, &pending, &head)) {
      size_t start = head.find(' ') + 1;
      std::string path = head.substr(start, head.find(' ', start) - start);
      std::string name = path.substr(path.rfind('/') + 1);
      auto known = files.find(name);
      if (known == files.end()) {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in) known = files.emplace(name, std::move(bytes)).first;
      }
      bool closing = head.find("\r\nconnection: close") != std::string::npos;
      static const std::string kNoBody;
      const std::string& body = known != files.end() ? known->second : kNoBody;
      std::string answer =
          std::string(known != files.end() ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
          "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
          std::to_string(body.size()) + (closing ? "\r\nConnection: close" : "") + "\r\n\r\n" +
          body;
      if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0 || closing) break;
    }
    ::close(fd);
  }
}
