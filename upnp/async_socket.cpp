#include "upnp/async_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log.h"
#include "platform/tick.h"
#include "upnp/limits.h"

const char* FLibPendingSend::Bytes() const {
  if (Owned) return Owned.get();
  if (Data) return Data;
  return Copy.data();
}

namespace {

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

void ResetBuffer(FLibAsyncSocket* s) {
  s->ConsumedOffset = 0;
  s->FilledOffset = 0;
  if (s->Buffer.size() != s->StartBufferSize) {
    s->Buffer.assign(s->StartBufferSize, 0);
    s->Buffer.shrink_to_fit();
  }
}

// Builds a queued node for the unsent tail of a buffer. Caller-kept bytes are copied;
// bytes the socket owns keep their allocation.
FLibPendingSend MakeNode(const char* buffer, size_t length, size_t sent, int ownership) {
  FLibPendingSend node;
  node.Length = length;
  node.Sent = sent;
  if (ownership == FLibOwnership_Free) {
    node.Owned.reset(const_cast<char*>(buffer));
  } else if (ownership == FLibOwnership_Static) {
    node.Data = buffer;
  } else {
    node.Copy.assign(buffer + sent, length - sent);
    node.Length = length - sent;
    node.Sent = 0;
  }
  return node;
}

void DropPending(FLibAsyncSocket* s) {
  s->Pending.clear();
  s->QueuedBytes = 0;
}

// Sends from the head of the queue until the kernel would block. Returns true when the
// queue drained completely without error. SendGuard is held by the caller.
bool FlushPendingLocked(FLibAsyncSocket* s) {
  while (!s->Pending.empty()) {
    FLibPendingSend& node = s->Pending.front();
    ssize_t n =
        ::send(s->Socket.Get(), node.Bytes() + node.Sent, node.Length - node.Sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (WouldBlock(errno)) return false;
      DropPending(s);
      s->DisconnectRequested = true;
      return false;
    }
    node.Sent += static_cast<size_t>(n);
    s->QueuedBytes -= static_cast<uint64_t>(n);
    if (node.Sent < node.Length) return false;
    s->Pending.pop_front();
  }
  return true;
}

// Hands the unconsumed bytes to the consumer. Returns false when the connection ended or
// was replaced during the callback, so the caller must not touch the buffer again.
bool Deliver(FLibAsyncSocket* s) {
  uint64_t generation = s->Generation;
  bool pause = false;
  if (s->DataArrived) {
    s->DataArrived(s, s->Buffer.data(), &s->ConsumedOffset, s->FilledOffset, s->User, &pause);
  } else {
    s->ConsumedOffset = s->FilledOffset;
  }
  if (s->Generation != generation || !s->Socket.Valid()) return false;
  if (pause) s->Paused = true;
  if (s->ConsumedOffset > s->FilledOffset) s->ConsumedOffset = s->FilledOffset;
  if (s->ConsumedOffset == s->FilledOffset) s->ConsumedOffset = s->FilledOffset = 0;
  return true;
}

void Compact(FLibAsyncSocket* s) {
  if (s->ConsumedOffset == 0) return;
  size_t remaining = s->FilledOffset - s->ConsumedOffset;
  std::memmove(s->Buffer.data(), s->Buffer.data() + s->ConsumedOffset, remaining);
  s->ConsumedOffset = 0;
  s->FilledOffset = remaining;
}

// Offers the buffered bytes again while the consumer keeps taking some of them, so that
// pipelined messages are handed over one after another.
bool DeliverBuffered(FLibAsyncSocket* s) {
  while (!s->Paused && s->ConsumedOffset < s->FilledOffset && s->ConsumedOffset > 0) {
    Compact(s);
    if (!Deliver(s)) return false;
  }
  return true;
}

// Makes room for a read. Returns false when the buffer is at its cap and the consumer
// keeps every byte: the peer is sending more than any message may hold.
bool EnsureFreeSpace(FLibAsyncSocket* s) {
  Compact(s);
  size_t free = s->Buffer.size() - s->FilledOffset;
  if (free >= upnp_limits::kReceiveBufferMinFree) return true;
  if (s->Buffer.size() < s->MaxBufferSize) {
    size_t grown =
        std::min(s->Buffer.size() + upnp_limits::kReceiveBufferGrowStep, s->MaxBufferSize);
    s->Buffer.resize(grown);
  }
  return s->Buffer.size() > s->FilledOffset;
}

// The answer has gone out: tell the peer no more follows, and give it time to read.
void ShutSendingSide(FLibAsyncSocket* s) {
  s->LingerShut = true;
  s->LingerUntilMs = platform::TickCountMs() + s->LingerMs;
  ::shutdown(s->Socket.Get(), SHUT_WR);
}

// Reads and drops what a lingering connection's peer still sends; closes when the peer
// has closed, at the byte limit and at the deadline.
void LingerStep(FLibAsyncSocket* s, bool readable) {
  bool over = s->LingerShut && platform::TickCountMs() >= s->LingerUntilMs;
  if (readable && !over) {
    char sink[65536];
    ssize_t n = ::recv(s->Socket.Get(), sink, sizeof sink, 0);
    if (n > 0) {
      size_t got = static_cast<size_t>(n);
      over = got >= s->LingerLeft;
      s->LingerLeft -= std::min(got, s->LingerLeft);
    } else {
      over = n == 0 || !WouldBlock(errno);
    }
  }
  if (over) FLibAsyncSocket_Disconnect(s);
}

void ReadStep(FLibAsyncSocket* s, bool readable) {
  if (s->Lingering) {
    LingerStep(s, readable);
    return;
  }
  if (s->Redeliver.exchange(false) && !s->Paused && s->ConsumedOffset < s->FilledOffset) {
    Compact(s);
    if (!Deliver(s) || !DeliverBuffered(s)) return;
  }
  if (s->Paused || !readable) return;
  if (!EnsureFreeSpace(s)) {
    platform::Logf("async socket: receive buffer full (%zu bytes), closing\n", s->Buffer.size());
    FLibAsyncSocket_Disconnect(s);
    return;
  }
  ssize_t n = ::recv(s->Socket.Get(), s->Buffer.data() + s->FilledOffset,
                     s->Buffer.size() - s->FilledOffset, 0);
  if (n < 0 && WouldBlock(errno)) return;
  if (n <= 0) {
    FLibAsyncSocket_Disconnect(s);
    return;
  }
  s->FilledOffset += static_cast<size_t>(n);
  if (!Deliver(s)) return;
  DeliverBuffered(s);
}

void CloseQuietly(FLibAsyncSocket* s) {
  {
    std::lock_guard lock(s->SendGuard);
    s->Socket.Reset();
    DropPending(s);
  }
  ++s->Generation;
  s->Connected = false;
  s->Paused = true;
  s->Idle = true;
}

void FinishConnect(FLibAsyncSocket* s, bool writable) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(s->Socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error == 0 && writable) {
    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(s->Socket.Get(), reinterpret_cast<sockaddr*>(&local), &localLength) == 0)
      s->LocalInterface = ntohl(local.sin_addr.s_addr);
    s->Connected = true;
    s->Paused = false;
    if (s->ConnectDone) s->ConnectDone(s, -1, s->User);
    return;
  }
  CloseQuietly(s);
  if (s->ConnectDone) s->ConnectDone(s, 0, s->User);
}

void SocketBeforeWait(FLibModule* module, FLibSocketSet* read, FLibSocketSet* write,
                      FLibSocketSet* error, int32_t* blockMs) {
  auto* s = static_cast<FLibAsyncSocket*>(module);
  if (s->DisconnectRequested.exchange(false)) FLibAsyncSocket_Disconnect(s);
  if (s->ConnectFailPending) {
    *blockMs = 0;
    return;
  }
  if (!s->Socket.Valid()) return;
  int fd = s->Socket.Get();
  if (!s->Connected) {
    FLibSocketSet_Add(write, fd);
    FLibSocketSet_Add(error, fd);
    return;
  }
  if (!s->Paused) {
    FLibSocketSet_Add(read, fd);
    FLibSocketSet_Add(error, fd);
    if (s->Redeliver && s->ConsumedOffset < s->FilledOffset) *blockMs = 0;
  }
  if (s->LingerShut) {
    uint64_t now = platform::TickCountMs();
    uint64_t wait = s->LingerUntilMs > now ? s->LingerUntilMs - now : 0;
    if (wait < static_cast<uint64_t>(*blockMs)) *blockMs = static_cast<int32_t>(wait);
  }
  std::lock_guard lock(s->SendGuard);
  if (!s->Pending.empty()) FLibSocketSet_Add(write, fd);
}

void SocketAfterWait(FLibModule* module, int, FLibSocketSet* read, FLibSocketSet* write,
                     FLibSocketSet* error) {
  auto* s = static_cast<FLibAsyncSocket*>(module);
  if (s->ConnectFailPending) {
    s->ConnectFailPending = false;
    CloseQuietly(s);
    if (s->ConnectDone) s->ConnectDone(s, 0, s->User);
    return;
  }
  if (!s->Socket.Valid()) return;
  int fd = s->Socket.Get();
  if (!s->Connected) {
    bool writable = FLibSocketSet_Has(write, fd);
    if (writable || FLibSocketSet_Has(error, fd)) FinishConnect(s, writable);
    return;
  }
  uint64_t generation = s->Generation;
  if (FLibSocketSet_Has(write, fd)) {
    bool drained = false;
    {
      std::lock_guard lock(s->SendGuard);
      drained = !s->Pending.empty() && FlushPendingLocked(s);
    }
    if (drained && s->Lingering && !s->LingerShut) ShutSendingSide(s);
    if (drained && s->SendDrained) s->SendDrained(s, s->User);
    if (s->Generation != generation || !s->Socket.Valid()) return;
  }
  if (FLibSocketSet_Has(error, fd)) {
    FLibAsyncSocket_Disconnect(s);
    return;
  }
  ReadStep(s, FLibSocketSet_Has(read, fd));
}

void SocketDispose(FLibModule* module) {
  auto* s = static_cast<FLibAsyncSocket*>(module);
  bool wasConnected = s->Socket.Valid();
  CloseQuietly(s);
  if (wasConnected && s->Interrupted) s->Interrupted(s, s->User);
  s->Buffer.clear();
  s->Buffer.shrink_to_fit();
}

void StartConnection(FLibAsyncSocket* s, FLibAsyncSocket_OnEvent interrupted, void* user) {
  ++s->Generation;
  ResetBuffer(s);
  s->Interrupted = interrupted;
  s->User = user;
  s->Redeliver = false;
  s->DisconnectRequested = false;
  s->ConnectFailPending = false;
  s->Lingering = false;
  s->LingerShut = false;
  s->LocalInterface = 0;
  std::lock_guard lock(s->SendGuard);
  s->QueuedBytes = 0;
  DropPending(s);
}

int BindOutgoing(int fd, uint32_t localInterface) {
  for (int attempt = 0; attempt < upnp_limits::kOutgoingPortAttempts; ++attempt) {
    sockaddr_in sa = MakeAddress(localInterface, FLibRandomPort());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  }
  // A crowded range: let the system choose rather than fail the connection.
  sockaddr_in sa = MakeAddress(localInterface, 0);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

}  // namespace

FLibAsyncSocket* FLibAsyncSocket_Create(FLibChain* chain, size_t initialBufferSize,
                                        FLibAsyncSocket_OnData dataArrived,
                                        FLibAsyncSocket_OnConnect connectDone,
                                        FLibAsyncSocket_OnEvent closed,
                                        FLibAsyncSocket_OnEvent sendDrained) {
  auto s = std::make_unique<FLibAsyncSocket>();
  s->BeforeWait = SocketBeforeWait;
  s->AfterWait = SocketAfterWait;
  s->Dispose = SocketDispose;
  s->Chain = chain;
  s->StartBufferSize = std::max<size_t>(initialBufferSize, 1);
  s->MaxBufferSize = std::max(s->StartBufferSize, upnp_limits::kReceiveBufferMaxBytes);
  s->Buffer.assign(s->StartBufferSize, 0);
  s->DataArrived = dataArrived;
  s->ConnectDone = connectDone;
  s->Closed = closed;
  s->SendDrained = sendDrained;
  s->Paused = true;
  return FLibChain_AddModule(chain, std::move(s));
}

int FLibAsyncSocket_Connect(FLibAsyncSocket* s, uint32_t localInterface, uint32_t remoteAddress,
                            uint16_t remotePort, FLibAsyncSocket_OnEvent interrupted, void* user) {
  if (s->Socket.Valid() || s->Disposed) return -1;
  StartConnection(s, interrupted, user);
  s->Idle = false;
  s->Paused = false;
  s->Connected = false;
  s->RemoteAddress = remoteAddress;
  s->RemotePort = remotePort;
  FLibFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  bool failed = !fd.Valid() || BindOutgoing(fd.Get(), localInterface) != 0;
  if (!failed) {
    sockaddr_in sa = MakeAddress(remoteAddress, remotePort);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 &&
        errno != EINPROGRESS)
      failed = true;
  }
  {
    std::lock_guard lock(s->SendGuard);
    s->Socket = std::move(fd);
  }
  // Failures are reported through ConnectDone on a later turn, never from inside this
  // call, so callers see one path for every outcome.
  s->ConnectFailPending = failed;
  FLibChain_Wake(s->Chain);
  return 0;
}

void FLibAsyncSocket_Adopt(FLibAsyncSocket* s, FLibFd accepted, FLibAsyncSocket_OnEvent interrupted,
                           void* user) {
  StartConnection(s, interrupted, user);
  {
    std::lock_guard lock(s->SendGuard);
    s->Socket = std::move(accepted);
  }
  s->Connected = true;
  s->Paused = false;
  s->Idle = false;
}

int FLibAsyncSocket_Send(FLibAsyncSocket* s, const char* buffer, size_t length, int ownership) {
  bool wake = false;
  int result = FLibSend_Done;
  {
    std::lock_guard lock(s->SendGuard);
    if (!s->Socket.Valid() || s->DisconnectRequested) {
      if (ownership == FLibOwnership_Free) std::free(const_cast<char*>(buffer));
      return FLibSend_Closed;
    }
    if (length == 0) {
      if (ownership == FLibOwnership_Free) std::free(const_cast<char*>(buffer));
      return s->Pending.empty() ? FLibSend_Done : FLibSend_Queued;
    }
    // While a connect is in progress bytes wait in the queue; they go out once it is done.
    if (!s->Pending.empty() || !s->Connected) {
      s->Pending.push_back(MakeNode(buffer, length, 0, ownership));
      s->QueuedBytes += length;
      result = FLibSend_Queued;
      wake = true;
    } else {
      ssize_t n = ::send(s->Socket.Get(), buffer, length, MSG_NOSIGNAL);
      if (n < 0 && !WouldBlock(errno)) {
        if (ownership == FLibOwnership_Free) std::free(const_cast<char*>(buffer));
        // The connection is closed on the chain thread so that Closed runs there.
        s->DisconnectRequested = true;
        result = FLibSend_Closed;
        wake = true;
      } else {
        size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
        if (sent == length) {
          if (ownership == FLibOwnership_Free) std::free(const_cast<char*>(buffer));
        } else {
          s->Pending.push_back(MakeNode(buffer, length, sent, ownership));
          s->QueuedBytes += length - sent;
          result = FLibSend_Queued;
          wake = true;
        }
      }
    }
  }
  if (wake) FLibChain_Wake(s->Chain);
  return result;
}

int FLibAsyncSocket_SendPair(FLibAsyncSocket* s, std::string head, std::string_view body) {
  size_t sent = 0;
  {
    std::lock_guard lock(s->SendGuard);
    if (!s->Socket.Valid() || s->DisconnectRequested) return FLibSend_Closed;
    if (s->Pending.empty() && s->Connected && !body.empty()) {
      iovec parts[2] = {{head.data(), head.size()}, {const_cast<char*>(body.data()), body.size()}};
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = 2;
      ssize_t n = ::sendmsg(s->Socket.Get(), &message, MSG_NOSIGNAL);
      if (n < 0 && !WouldBlock(errno)) {
        s->DisconnectRequested = true;
        FLibChain_Wake(s->Chain);
        return FLibSend_Closed;
      }
      sent = n > 0 ? static_cast<size_t>(n) : 0;
      if (sent == head.size() + body.size()) return FLibSend_Done;
    }
  }
  // What is left waits as one string, sent as any other.
  std::string rest;
  if (sent < head.size()) {
    rest.reserve(head.size() - sent + body.size());
    rest.append(head, sent);
    rest.append(body);
  } else {
    rest.assign(body.substr(sent - head.size()));
  }
  return FLibAsyncSocket_SendString(s, std::move(rest));
}

int FLibAsyncSocket_SendString(FLibAsyncSocket* s, std::string bytes) {
  bool wake = false;
  int result = FLibSend_Done;
  {
    std::lock_guard lock(s->SendGuard);
    if (!s->Socket.Valid() || s->DisconnectRequested) return FLibSend_Closed;
    if (bytes.empty()) return s->Pending.empty() ? FLibSend_Done : FLibSend_Queued;
    size_t sent = 0;
    if (s->Pending.empty() && s->Connected) {
      ssize_t n = ::send(s->Socket.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && !WouldBlock(errno)) {
        s->DisconnectRequested = true;
        FLibChain_Wake(s->Chain);
        return FLibSend_Closed;
      }
      sent = n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (sent < bytes.size()) {
      FLibPendingSend node;
      node.Copy = std::move(bytes);
      node.Length = node.Copy.size();
      node.Sent = sent;
      s->QueuedBytes += node.Length - sent;
      s->Pending.push_back(std::move(node));
      result = FLibSend_Queued;
      wake = true;
    }
  }
  if (wake) FLibChain_Wake(s->Chain);
  return result;
}

void FLibAsyncSocket_Disconnect(FLibAsyncSocket* s) {
  {
    std::lock_guard lock(s->SendGuard);
    if (!s->Socket.Valid()) return;
    s->Socket.Reset();
    DropPending(s);
  }
  ++s->Generation;
  s->Connected = false;
  s->Paused = true;
  s->ConsumedOffset = s->FilledOffset = 0;
  s->DisconnectRequested = false;
  s->Lingering = s->LingerShut = false;
  s->Idle = true;
  if (s->Closed) s->Closed(s, s->User);
}

void FLibAsyncSocket_LingeringClose(FLibAsyncSocket* s, uint32_t maxMs, size_t maxBytes) {
  if (!s->Socket.Valid() || s->Lingering) return;
  s->Lingering = true;
  s->LingerMs = maxMs;
  s->LingerLeft = maxBytes;
  // Bytes already buffered are dropped with the rest; reading goes on so that a peer
  // still sending is not left blocked.
  s->ConsumedOffset = s->FilledOffset = 0;
  s->Redeliver = false;
  s->Paused = false;
  bool drained = false;
  {
    std::lock_guard lock(s->SendGuard);
    drained = s->Pending.empty();
  }
  if (drained) ShutSendingSide(s);
}

void FLibAsyncSocket_ReadNow(FLibAsyncSocket* s) {
  if (s->Socket.Valid() && s->Connected) ReadStep(s, true);
}

void FLibAsyncSocket_Pause(FLibAsyncSocket* s) { s->Paused = true; }

void FLibAsyncSocket_Resume(FLibAsyncSocket* s) {
  s->Paused = false;
  s->Redeliver = true;
  FLibChain_Wake(s->Chain);
}

uint64_t FLibAsyncSocket_PendingBytes(FLibAsyncSocket* s) {
  std::lock_guard lock(s->SendGuard);
  return s->QueuedBytes;
}

bool FLibAsyncSocket_IsFree(const FLibAsyncSocket* s) { return s->Idle; }
