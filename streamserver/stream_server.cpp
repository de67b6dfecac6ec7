#include "streamserver/stream_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/log.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "streamserver/stream_response.h"
#include "upnp/http_reader.h"

namespace {

// Waits until the socket has bytes (or its peer closed), the time runs out or the server
// stops. True when there is something to read.
bool WaitReadable(StreamServer* server, int fd, uint64_t timeoutMs) {
  uint64_t deadline = platform::TickCountMs() + timeoutMs;
  for (;;) {
    if (server->Stopping.load(std::memory_order_acquire)) return false;
    uint64_t now = platform::TickCountMs();
    if (now >= deadline) return false;
    pollfd p = {fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(deadline - now));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

void WriteLogLine(StreamServer* server, const StreamRequest& request) {
  if (server->LogFile.empty()) return;
  struct tm local = {};
  time_t now = request.Date;
  localtime_r(&now, &local);
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  long offsetMinutes = local.tm_gmtoff / 60;
  char date[64];
  std::snprintf(date, sizeof date, "%02d/%s/%04d:%02d:%02d:%02d %+03ld%02ld", local.tm_mday,
                kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                local.tm_sec, offsetMinutes / 60, std::labs(offsetMinutes % 60));
  std::string line = StreamRequest_PeerText(request) + " - " +
                     (request.User.empty() ? "-" : request.User) + " - [" + date + "] \"" +
                     request.RequestLine + "\" " + std::to_string(request.Status) + " " +
                     std::to_string(request.BytesSent) + "\n";
  std::lock_guard<std::mutex> lock(server->LogLock);
  if (FILE* f = std::fopen(server->LogFile.c_str(), "ab")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  }
}

// Ends a connection whose client may still be sending: the answer is followed by the end
// of our side, and what the client still sends is read and dropped until it closes or a
// limit is reached. Closing with its bytes unread would reset the connection, and a client
// that writes its whole request before it reads would never see the answer.
void Linger(StreamServer* server, int fd) {
  ::shutdown(fd, SHUT_WR);
  const uint64_t deadline = platform::TickCountMs() + stream_limits::kLingerMs;
  size_t left = stream_limits::kLingerMaxBytes;
  char sink[stream_limits::kReceiveChunkBytes];
  while (left > 0) {
    uint64_t now = platform::TickCountMs();
    if (now >= deadline || !WaitReadable(server, fd, deadline - now)) return;
    ssize_t n = ::recv(fd, sink, std::min(sizeof sink, left), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    left -= static_cast<size_t>(n);
  }
}

enum class HeadResult { Read, Closed, Answered };

// A head refused before its request line was understood is still answered with a status
// line, so the client learns why.
void RefuseHead(StreamRequest* request, int status) {
  if (request->VersionMajor == 0) {
    request->VersionMajor = 1;
    request->VersionMinor = 0;
  }
  StreamResponse_SendError(request, status);
}

// Reads one request head into `request`, keeping bytes that follow it in `input`. Idle
// waiting is bounded by the keep-alive time-out; once the first byte is there the whole
// head must arrive within the request time-out, else 408.
HeadResult ReadHead(StreamServer* server, StreamRequest* request, std::string* input) {
  StreamHeadScanner scanner;
  if (input->empty() && !WaitReadable(server, request->Fd, server->Options.KeepAliveTimeoutMs)) {
    return HeadResult::Closed;
  }
  const uint64_t deadline = platform::TickCountMs() + server->Options.RequestTimeoutMs;
  char buffer[stream_limits::kReceiveChunkBytes];
  for (;;) {
    size_t consumed = 0;
    int r = StreamRequest_Read(request, &scanner, *input, &consumed);
    if (r == kStreamReadDone) {
      input->erase(0, consumed);
      return HeadResult::Read;
    }
    if (r == kStreamReadError) {
      RefuseHead(request, request->Status);
      return HeadResult::Answered;
    }
    uint64_t now = platform::TickCountMs();
    if (now >= deadline || !WaitReadable(server, request->Fd, deadline - now)) {
      if (server->Stopping.load(std::memory_order_acquire)) return HeadResult::Closed;
      RefuseHead(request, 408);
      return HeadResult::Answered;
    }
    ssize_t n = ::recv(request->Fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return HeadResult::Closed;
    input->append(buffer, static_cast<size_t>(n));
  }
}

// The checks every request passes before any handler sees it. False when answered.
bool Admit(StreamRequest* request) {
  if (request->VersionMajor > 1 || (request->VersionMajor == 1 && request->VersionMinor >= 2)) {
    StreamResponse_SendError(request, 505);
    return false;
  }
  // A Host that is a DNS name rather than an address means a browser page that resolved
  // its own name to us; its scripts must not read our answers.
  if (!StreamRequest_ValidateUri(request) ||
      (!request->Host.empty() && !FLibHttp_IsIpLiteralHost(request->Host))) {
    StreamResponse_SendError(request, 400);
    return false;
  }
  return true;
}

// Serves one request. False when the connection must end.
bool ServeRequest(StreamServer* server, StreamRequest* request, uint32_t number) {
  // The last request allowed on a connection, and any request with a body the server
  // does not read, close the connection after their answer.
  if (number >= server->Options.KeepAliveMax || request->HasBody) request->ServerKeepAlive = false;
  if (!Admit(request)) return false;
  if (server->Rewriter) server->Rewriter(request);
  bool answered = false;
  for (auto it = server->Handlers.rbegin(); it != server->Handlers.rend() && !answered; ++it) {
    answered = (*it)(request) != 0;
  }
  if (!answered) {
    if (!server->DefaultHandler || server->DefaultHandler(request) == 0) {
      if (!request->HeaderWritten) StreamResponse_SendError(request, 404);
      return false;
    }
  }
  StreamResponse_End(request);
  WriteLogLine(server, *request);
  return request->ResponseKeepAlive && !request->WriteFailed;
}

void ConnectionThread(StreamServer* server, size_t index) {
  platform::SetCurrentThreadName("stream-conn");
  StreamConnectionSlot& slot = server->Slots[index];
  int fd;
  uint32_t peer;
  {
    std::lock_guard<std::mutex> lock(server->SlotLock);
    fd = slot.Socket.Get();
    peer = slot.PeerAddress;
  }
  StreamServer_ServeConnection(server, fd, peer);
  {
    std::lock_guard<std::mutex> lock(server->SlotLock);
    slot.Socket.Reset();
    slot.InUse = false;
  }
  server->SlotFreed.notify_all();
}

// A free slot whose previous thread has ended, or -1.
int FindFreeSlot(StreamServer* server) {
  std::unique_lock<std::mutex> lock(server->SlotLock);
  for (size_t i = 0; i < server->Slots.size(); ++i) {
    if (!server->Slots[i].InUse) return static_cast<int>(i);
  }
  server->SlotFreed.wait_for(lock, std::chrono::milliseconds(server->Options.SlotWaitMs));
  return -1;
}

// Waits for a connection or the wake signal. The accepted socket, or -1.
int AcceptOne(StreamServer* server, uint32_t* peer) {
  pollfd fds[2] = {{server->Listener.Get(), POLLIN, 0}, {server->Wake.Get(), POLLIN, 0}};
  int r = ::poll(fds, 2, -1);
  if (r <= 0 || (fds[1].revents & POLLIN) != 0) return -1;
  sockaddr_in address = {};
  socklen_t length = sizeof address;
  int fd = ::accept4(server->Listener.Get(), reinterpret_cast<sockaddr*>(&address), &length,
                     SOCK_CLOEXEC);
  if (fd < 0) {
    // Out of descriptors: wait a moment (or for the stop) instead of spinning.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      pollfd wake = {server->Wake.Get(), POLLIN, 0};
      ::poll(&wake, 1, 100);
    }
    return -1;
  }
  *peer = ntohl(address.sin_addr.s_addr);
  timeval sendTimeout = {static_cast<time_t>(server->Options.SendTimeoutMs / 1000),
                         static_cast<suseconds_t>((server->Options.SendTimeoutMs % 1000) * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  return fd;
}

void StartConnection(StreamServer* server, size_t index, int fd, uint32_t peer) {
  StreamConnectionSlot& slot = server->Slots[index];
  if (slot.Thread.joinable()) slot.Thread.join();
  {
    std::lock_guard<std::mutex> lock(server->SlotLock);
    slot.Socket.Reset(fd);
    slot.PeerAddress = peer;
    slot.InUse = true;
  }
  try {
    slot.Thread = std::thread(ConnectionThread, server, index);
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(server->SlotLock);
    slot.Socket.Reset();
    slot.InUse = false;
  }
}

}  // namespace

std::unique_ptr<StreamServer> StreamServer_Create(const std::string& name, int port,
                                                  const std::string& documentRoot,
                                                  const std::string& logFile) {
  auto server = std::make_unique<StreamServer>();
  server->Name = name;
  server->ConfiguredPort = port;
  server->DocumentRoot = documentRoot;
  server->LogFile = logFile;
  return server;
}

void StreamServer_AddHandler(StreamServer* server, StreamHandler handler) {
  server->Handlers.push_back(std::move(handler));
}

void StreamServer_SetDefaultHandler(StreamServer* server, StreamHandler handler) {
  server->DefaultHandler = std::move(handler);
}

int StreamServer_Init(StreamServer* server) {
  server->Wake.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  platform::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!server->Wake.Valid() || !listener.Valid()) {
    platform::Log("Can't create a socket\n");
    return -1;
  }
  std::random_device seed;
  std::minstd_rand random(seed());
  int port = -1;
  for (int attempt = 0; attempt < stream_limits::kBindAttempts && port < 0; ++attempt) {
    uint16_t candidate = static_cast<uint16_t>(stream_limits::kPortBase +
                                               (random() & 0xFFFF) % stream_limits::kPortSpan);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(candidate);
    address.sin_addr.s_addr = htonl(server->Options.BindAddress);
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      port = candidate;
    }
  }
  if (port < 0) {
    platform::Log("Can't bind a port for the stream server\n");
    return -1;
  }
  if (::listen(listener.Get(), stream_limits::kListenBacklog) != 0) {
    platform::Log("Can't listen\n");
    return -1;
  }
  server->Listener = std::move(listener);
  server->Port.store(port, std::memory_order_release);
  return 0;
}

void StreamServer_Run(StreamServer* server) {
  while (!server->Stopping.load(std::memory_order_acquire)) {
    int index = FindFreeSlot(server);
    if (index < 0) continue;
    uint32_t peer = 0;
    int fd = AcceptOne(server, &peer);
    if (fd < 0) continue;
    StartConnection(server, static_cast<size_t>(index), fd, peer);
  }
  for (StreamConnectionSlot& slot : server->Slots) {
    if (slot.Thread.joinable()) slot.Thread.join();
  }
}

void StreamServer_Stop(StreamServer* server) {
  server->Stopping.store(true, std::memory_order_release);
  if (server->Wake.Valid()) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(server->Wake.Get(), &one, sizeof one);
  }
  std::lock_guard<std::mutex> lock(server->SlotLock);
  for (StreamConnectionSlot& slot : server->Slots) {
    if (slot.InUse && slot.Socket.Valid()) ::shutdown(slot.Socket.Get(), SHUT_RDWR);
  }
  server->SlotFreed.notify_all();
}

void StreamServer_ServeConnection(StreamServer* server, int fd, uint32_t peerAddress) {
  std::string input;
  bool unread = false;  // the client may still be sending what was not read
  for (uint32_t number = 1; number <= server->Options.KeepAliveMax; ++number) {
    if (server->Stopping.load(std::memory_order_acquire)) break;
    StreamRequest request;
    request.Server = server;
    request.Fd = fd;
    request.PeerAddress = peerAddress;
    HeadResult head = ReadHead(server, &request, &input);
    unread = head == HeadResult::Answered;
    if (head != HeadResult::Read) break;
    bool keep = ServeRequest(server, &request, number);
    unread = request.HasBody || !input.empty();
    if (!keep) break;
  }
  if (unread) Linger(server, fd);
}
