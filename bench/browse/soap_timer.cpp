// soap_timer: times one SOAP request sent over and over, with as little work of its own as
// possible, so that the figures measure the server and not the client.
//
//   soap_timer HOST PORT PATH ACTION BODY_FILE COUNT EXPECT_RETURNED [--fresh] [--unrepeated]
//              [--warmup N] [--last FILE]
//
// Sends COUNT POST requests of BODY_FILE's bytes to HOST:PORT PATH with the SOAPACTION of
// ContentDirectory's ACTION, over one keep-alive connection (opened again, inside the timed
// span, whenever the server ends it), or with --fresh over a new connection each, the
// connecting timed too. Prints, one per line, the microseconds from sending the request (or
// connecting) to the answer's last byte; then "connections N" on standard error. Every
// answer must be HTTP 200 with a Content-Length (or end at the close) and hold
// "<NumberReturned>EXPECT_RETURNED</NumberReturned>"; anything else ends the run with
// exit status 1. --last writes the last answer's body, for the caller to check in full.
// --warmup sends N requests first, checked the same way but not timed: a run that follows
// another server's turn would otherwise time its first answers on cold caches, which a
// client talking to one server does not see.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Die(const std::string& what, std::string_view answer = {}) {
  std::fprintf(stderr, "soap_timer: %s\n", what.c_str());
  if (!answer.empty()) {
    std::fprintf(stderr, "--- answer ---\n%.*s\n",
                 static_cast<int>(std::min<size_t>(answer.size(), 600)), answer.data());
  }
  std::exit(1);
}

int Connect(const sockaddr_in& address) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die(std::string("socket: ") + std::strerror(errno));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    Die(std::string("connect: ") + std::strerror(errno));
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool HeaderHasToken(std::string_view head, std::string_view name, std::string_view token) {
  // Case-insensitive search for "\r\nNAME:" and then TOKEN on the same line.
  auto lower = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  std::string h = lower(head);
  size_t at = h.find("\r\n" + lower(name) + ":");
  if (at == std::string::npos) return false;
  size_t end = h.find("\r\n", at + 2);
  return h.substr(at, end - at).find(lower(token)) != std::string::npos;
}

// Reads one answer; returns false when the server closed the connection before any byte
// of it (a kept-alive connection it had ended). `closes` says whether the connection
// ends after this answer.
bool ReadAnswer(int fd, std::string* answer, size_t* body_at, bool* closes) {
  answer->clear();
  char buffer[65536];
  size_t head_end = std::string::npos;
  long long length = -1;
  for (;;) {
    if (head_end != std::string::npos && length >= 0 &&
        answer->size() >= head_end + static_cast<size_t>(length)) {
      break;
    }
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && answer->empty() && errno == ECONNRESET) return false;
    if (n < 0) Die(std::string("recv: ") + std::strerror(errno));
    if (n == 0) {
      if (answer->empty()) return false;
      if (head_end != std::string::npos && length < 0) break;  // the body ends at the close
      Die("the connection ended inside an answer", *answer);
    }
    answer->append(buffer, static_cast<size_t>(n));
    if (head_end == std::string::npos) {
      size_t at = answer->find("\r\n\r\n");
      if (at == std::string::npos) continue;
      head_end = at + 4;
      std::string_view head(answer->data(), head_end);
      std::string lowered(head);
      for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      size_t cl = lowered.find("\r\ncontent-length:");
      if (cl != std::string::npos) length = std::atoll(lowered.c_str() + cl + 17);
      if (lowered.find("\r\ntransfer-encoding:") != std::string::npos) {
        Die("a chunked answer; this client reads Content-Length answers only", head);
      }
    }
  }
  std::string_view head(answer->data(), head_end);
  if (head.substr(0, 13) != "HTTP/1.1 200 " && head.substr(0, 13) != "HTTP/1.0 200 ") {
    Die("the answer is not HTTP 200", *answer);
  }
  *closes =
      length < 0 || HeaderHasToken(head, "connection", "close") || head.substr(0, 8) == "HTTP/1.0";
  *body_at = head_end;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr,
                 "usage: soap_timer HOST PORT PATH ACTION BODY_FILE COUNT EXPECT_RETURNED "
                 "[--fresh] [--unrepeated] [--warmup N] [--last FILE]\n");
    return 2;
  }
  std::string host = argv[1], path = argv[3], action = argv[4];
  int port = std::atoi(argv[2]);
  std::ifstream body_file(argv[5], std::ios::binary);
  if (!body_file) Die(std::string("cannot read ") + argv[5]);
  std::string body((std::istreambuf_iterator<char>(body_file)), std::istreambuf_iterator<char>());
  int count = std::atoi(argv[6]);
  std::string expect = "<NumberReturned>" + std::string(argv[7]) + "</NumberReturned>";
  bool fresh = false;
  bool unrepeated = false;
  int warmup = 0;
  const char* last_path = nullptr;
  for (int i = 8; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fresh") == 0) {
      fresh = true;
    } else if (std::strcmp(argv[i], "--unrepeated") == 0) {
      unrepeated = true;
    } else if (std::strcmp(argv[i], "--warmup") == 0 && i + 1 < argc) {
      warmup = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--last") == 0 && i + 1 < argc) {
      last_path = argv[++i];
    } else {
      Die(std::string("unknown argument ") + argv[i]);
    }
  }

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
    Die("HOST must be an IPv4 address");

  // --unrepeated: the server keeps its latest answers, so a request it has just answered
  // measures the kept answer. These requests differ from each of the last kUnrepeated
  // before them in their SortCriteria (spaces, which sort nothing), so each is answered as
  // a client's first visit to the page is.
  constexpr int kUnrepeated = 128;
  std::vector<std::string> requests;
  for (int variant = 0; variant < (unrepeated ? kUnrepeated : 1); ++variant) {
    std::string varied = body;
    if (unrepeated) {
      size_t at = varied.find("<SortCriteria>");
      if (at == std::string::npos) Die("--unrepeated needs a SortCriteria argument", body);
      varied.insert(at + 14, static_cast<size_t>(variant), ' ');
    }
    requests.push_back(
        "POST " + path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
        "\r\nAccept-Encoding: identity\r\nContent-Length: " + std::to_string(varied.size()) +
        "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nSOAPACTION: "
        "\"urn:schemas-upnp-org:service:ContentDirectory:1#" +
        action + "\"\r\nConnection: " + (fresh ? "close" : "keep-alive") + "\r\n\r\n" + varied);
  }

  std::vector<long> micros;
  micros.reserve(static_cast<size_t>(count));
  std::string answer;
  answer.reserve(1 << 20);
  int fd = -1, connections = 0;
  using Clock = std::chrono::steady_clock;
  size_t body_at = 0;
  // The warm-up requests come first in the same sequence, so that --unrepeated still
  // sends no timed request like one of the 128 before it.
  for (int i = 0; i < warmup + count; ++i) {
    bool closes = false;
    Clock::time_point began = Clock::now();
    for (int attempt = 0;; ++attempt) {
      if (fd < 0) {
        fd = Connect(address);
        ++connections;
      }
      bool sent = SendAll(fd, requests[static_cast<size_t>(i) % requests.size()]);
      if (sent && ReadAnswer(fd, &answer, &body_at, &closes)) break;
      // A kept-alive connection the server had already ended: one new try.
      ::close(fd);
      fd = -1;
      if (attempt == 1 || fresh) Die("the server ended the connection without an answer");
    }
    Clock::time_point done = Clock::now();
    if (i >= warmup) {
      micros.push_back(static_cast<long>(
          std::chrono::duration_cast<std::chrono::microseconds>(done - began).count()));
    }
    if (closes || fresh) {
      ::close(fd);
      fd = -1;
    }
    if (std::string_view(answer).substr(body_at).find(expect) == std::string_view::npos) {
      Die("the answer does not hold " + expect, std::string_view(answer).substr(body_at));
    }
  }
  if (fd >= 0) ::close(fd);
  if (last_path != nullptr) {
    std::ofstream out(last_path, std::ios::binary);
    out << std::string_view(answer).substr(body_at);
  }
  for (long m : micros) std::printf("%ld\n", m);
  std::fprintf(stderr, "connections %d\n", connections);
  return 0;
}
