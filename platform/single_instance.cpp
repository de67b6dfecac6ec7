#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/limits.h"
#include "platform/log.h"
#include "platform/tick.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

constexpr size_t kMaxExchangeBytes = 16;
constexpr uint64_t kConnectRetryPauseMs = 20;

std::string CanonicalDirectory(const std::string& directory) {
  char* real = ::realpath(directory.c_str(), nullptr);
  if (real == nullptr) return directory;
  std::string result(real);
  ::free(real);
  return result;
}

uint64_t Fnv1a64(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// Fills `address` for `name` (a path, or an abstract name beginning with '\0').
socklen_t MakeAddress(const std::string& name, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, name.data(), name.size());
  // A path address carries its terminator; an abstract one is exactly its bytes.
  size_t length = name[0] == '\0' ? name.size() : name.size() + 1;
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
}

// Waits until `fd` is readable, at most `timeoutMs`. False on time-out or error.
bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  uint64_t deadline = TickCountMs() + static_cast<uint64_t>(timeoutMs);
  for (;;) {
    uint64_t now = TickCountMs();
    if (now >= deadline) return false;
    int n = ::poll(&p, 1, static_cast<int>(deadline - now));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Reads one short line (up to and including '\n') within the exchange time-out.
std::string ReadLine(int fd) {
  std::string line;
  char buffer[kMaxExchangeBytes];
  while (line.size() < kMaxExchangeBytes && line.find('\n') == std::string::npos) {
    if (!WaitReadable(fd, kInstanceExchangeTimeoutMs)) break;
    ssize_t n = ::recv(fd, buffer, kMaxExchangeBytes - line.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  return line;
}

bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Connects to the running copy. It may hold the lock a moment before it listens, so
// refused or missing sockets are tried again until `timeoutMs` has passed.
UniqueFd Connect(const std::string& name, uint64_t timeoutMs) {
  sockaddr_un address;
  socklen_t length = MakeAddress(name, &address);
  uint64_t deadline = TickCountMs() + timeoutMs;
  for (;;) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return fd;
    int rc;
    do {
      rc = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return fd;
    bool retry = errno == ENOENT || errno == ECONNREFUSED || errno == EAGAIN;
    if (!retry || TickCountMs() >= deadline) return UniqueFd();
    SleepMs(kConnectRetryPauseMs);
  }
}

// Asks the running copy to show its window.
bool SendShowRequest(const std::string& name) {
  UniqueFd fd = Connect(name, kInstanceConnectTimeoutMs);
  if (!fd.Valid() || !SendAll(fd.Get(), kInstanceShowRequest)) return false;
  return ReadLine(fd.Get()) == kInstanceShowAnswer;
}

// Binds and listens on `name`. A socket file there is stale: only the lock holder
// creates it, and the caller holds the lock.
UniqueFd Listen(const std::string& name) {
  if (name[0] != '\0') ::unlink(name.c_str());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) return fd;
  sockaddr_un address;
  socklen_t length = MakeAddress(name, &address);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd.Get(), 8) != 0) {
    Logf("Single instance: cannot listen for show requests (%s)\n", std::strerror(errno));
    return UniqueFd();
  }
  return fd;
}

}  // namespace

std::string SingleInstance::SocketAddressFor(const std::string& directory) {
  std::string real = CanonicalDirectory(directory);
  std::string path = real;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path += kInstanceSocketName;
  if (path.size() <= kMaxSocketPathLength) return path;
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a64(real)));
  return std::string(1, '\0') + kInstanceAbstractPrefix + hash;
}

bool SingleInstance::QueryStatus(const std::string& directory, std::string* answer) {
  answer->clear();
  // A status query comes from a copy that does not start: nothing to wait for.
  UniqueFd fd = Connect(SocketAddressFor(directory), 0);
  if (!fd.Valid()) return false;
  if (!SendAll(fd.Get(), kInstanceStatusRequest)) return true;
  char buffer[4096];
  while (answer->size() < kInstanceStatusAnswerMaxBytes &&
         WaitReadable(fd.Get(), kInstanceExchangeTimeoutMs)) {
    ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer->append(buffer, static_cast<size_t>(n));
  }
  if (answer->size() > kInstanceStatusAnswerMaxBytes) answer->resize(kInstanceStatusAnswerMaxBytes);
  return true;
}

std::unique_ptr<SingleInstance> SingleInstance::Acquire(
    const std::string& directory, std::function<void()> onShowRequest, bool* anotherRunning,
    std::function<std::string()> onStatusRequest) {
  *anotherRunning = false;
  std::string lockPath = directory;
  if (lockPath.empty() || lockPath.back() != '/') lockPath.push_back('/');
  lockPath += kInstanceLockName;
  UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  // flock needs no write access: a lock file that another user created still serves.
  if (!lock.Valid() && errno == EACCES) {
    lock.Reset(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  }
  if (!lock.Valid()) {
    Logf("Single instance: cannot open %s (%s)\n", lockPath.c_str(), std::strerror(errno));
    return nullptr;
  }
  int rc;
  do {
    rc = ::flock(lock.Get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  int lockError = rc == 0 ? 0 : errno;
  std::string name = SocketAddressFor(directory);
  if (rc != 0) {
    if (lockError != EWOULDBLOCK) {
      Logf("Single instance: cannot lock %s (%s)\n", lockPath.c_str(), std::strerror(lockError));
      return nullptr;
    }
    *anotherRunning = true;
    if (!SendShowRequest(name)) Log("Single instance: the running copy did not answer\n");
    return nullptr;
  }
  UniqueFd listener = Listen(name);
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
  if (!stop.Valid()) listener.Reset();
  bool isPath = listener.Valid() && name[0] != '\0';
  return std::make_unique<SingleInstance>(Key(), lock.Release(), listener.Release(), stop.Release(),
                                          isPath ? name : std::string(), std::move(onShowRequest),
                                          std::move(onStatusRequest));
}

SingleInstance::SingleInstance(Key, int lockFd, int listenFd, int stopFd, std::string socketPath,
                               std::function<void()> onShowRequest,
                               std::function<std::string()> onStatusRequest)
    : lockFd_(lockFd),
      listenFd_(listenFd),
      stopFd_(stopFd),
      socketPath_(std::move(socketPath)),
      onShowRequest_(std::move(onShowRequest)),
      onStatusRequest_(std::move(onStatusRequest)) {
  if (listenFd_ >= 0) thread_ = std::thread([this] { Serve(); });
}

SingleInstance::~SingleInstance() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    while (::write(stopFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  if (listenFd_ >= 0) ::close(listenFd_);
  if (stopFd_ >= 0) ::close(stopFd_);
  // The socket goes before the lock, so the next copy never meets a live-looking file.
  if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
  ::close(lockFd_);
}

void SingleInstance::Serve() {
  pollfd fds[2] = {{stopFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
  for (;;) {
    int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      Logf("Single instance: poll failed (%s)\n", std::strerror(errno));
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents == 0) continue;
    UniqueFd connection(::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.Valid()) AnswerOne(connection.Get());
  }
}

void SingleInstance::AnswerOne(int connection) {
  // Only the same user (or root) may ask: an abstract socket has no file permissions.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return;
  if (peer.uid != ::geteuid() && peer.uid != 0) return;
  std::string request = ReadLine(connection);
  if (request == kInstanceStatusRequest) {
    if (onStatusRequest_) SendAll(connection, onStatusRequest_());
    return;
  }
  if (request != kInstanceShowRequest) return;
  SendAll(connection, kInstanceShowAnswer);
  if (onShowRequest_) onShowRequest_();
}

}  // namespace platform
