#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/log.h"
#include "upnp/async_socket.h"
#include "upnp/limits.h"

namespace {

FLibServerToken* TokenOf(void* user) { return static_cast<FLibServerToken*>(user); }

void PoolData(FLibAsyncSocket* socket, char* buffer, size_t* begin, size_t end, void* user,
              bool* pause) {
  FLibServerToken* token = TokenOf(user);
  FLibAsyncServerSocket* server = token->Server;
  if (server->DataArrived) {
    server->DataArrived(server, socket, buffer, begin, end, &token->User, pause);
  } else {
    *begin = end;
  }
}

void PoolClosed(FLibAsyncSocket* socket, void* user) {
  FLibServerToken* token = TokenOf(user);
  void* owner = token->User;
  token->User = nullptr;
  if (token->Server->Closed) token->Server->Closed(token->Server, socket, owner);
}

void PoolInterrupted(FLibAsyncSocket* socket, void* user) {
  FLibServerToken* token = TokenOf(user);
  void* owner = token->User;
  token->User = nullptr;
  if (token->Server->Interrupted) token->Server->Interrupted(token->Server, socket, owner);
}

void PoolDrained(FLibAsyncSocket* socket, void* user) {
  FLibServerToken* token = TokenOf(user);
  if (token->Server->SendDrained) token->Server->SendDrained(token->Server, socket, token->User);
}

bool AnyFree(const FLibAsyncServerSocket* server) {
  for (const FLibAsyncSocket* s : server->Pool) {
    if (FLibAsyncSocket_IsFree(s)) return true;
  }
  return false;
}

// While every pooled connection is busy the listener is not watched, so new clients wait
// in the kernel's backlog instead of being accepted and dropped.
void ServerBeforeWait(FLibModule* module, FLibSocketSet* read, FLibSocketSet*, FLibSocketSet*,
                      int32_t*) {
  auto* server = static_cast<FLibAsyncServerSocket*>(module);
  if (server->Listener.Valid() && AnyFree(server)) FLibSocketSet_Add(read, server->Listener.Get());
}

bool PeerIsLocal(int fd) {
  sockaddr_in local{}, peer{};
  socklen_t localLength = sizeof local, peerLength = sizeof peer;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return false;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return false;
  return local.sin_addr.s_addr == peer.sin_addr.s_addr;
}

void ServerAfterWait(FLibModule* module, int, FLibSocketSet* read, FLibSocketSet*, FLibSocketSet*) {
  auto* server = static_cast<FLibAsyncServerSocket*>(module);
  if (!server->Listener.Valid() || !FLibSocketSet_Has(read, server->Listener.Get())) return;
  for (size_t i = 0; i < server->Pool.size(); ++i) {
    FLibAsyncSocket* connection = server->Pool[i];
    if (!FLibAsyncSocket_IsFree(connection)) continue;
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    FLibFd fd(::accept4(server->Listener.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                        SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid()) break;
    if (server->LoopbackOnly && !PeerIsLocal(fd.Get())) continue;
    FLibServerToken* token = server->Tokens[i].get();
    token->User = nullptr;
    FLibAsyncSocket_Adopt(connection, std::move(fd), PoolInterrupted, token);
    connection->RemoteAddress = ntohl(peer.sin_addr.s_addr);
    connection->RemotePort = ntohs(peer.sin_port);
    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(connection->Socket.Get(), reinterpret_cast<sockaddr*>(&local),
                      &localLength) == 0)
      connection->LocalInterface = ntohl(local.sin_addr.s_addr);
    if (server->ConnectDone) server->ConnectDone(server, connection, &token->User);
    FLibAsyncSocket_ReadNow(connection);
  }
}

void ServerDispose(FLibModule* module) {
  static_cast<FLibAsyncServerSocket*>(module)->Listener.Reset();
}

bool BindPort(int fd, uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

// Binds to `port`, or to a random port of the range when it is 0. Returns the port bound,
// 0 on failure.
uint16_t BindListener(int fd, uint32_t address, uint16_t port) {
  if (port != 0) {
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return BindPort(fd, address, port) ? port : 0;
  }
  for (int attempt = 0; attempt < upnp_limits::kRandomPortAttempts; ++attempt) {
    uint16_t candidate = FLibRandomPort();
    if (BindPort(fd, address, candidate)) return candidate;
  }
  return 0;
}

}  // namespace

FLibAsyncServerSocket* FLibAsyncServerSocket_Create(
    FLibChain* chain, int maxConnections, uint16_t port, size_t initialBufferSize,
    FLibAsyncServer_OnConnect connectDone, FLibAsyncServer_OnEvent closed,
    FLibAsyncServer_OnEvent interrupted, FLibAsyncServer_OnData dataArrived,
    FLibAsyncServer_OnEvent sendDrained, uint32_t bindAddress) {
  if (maxConnections < 1) return nullptr;
  FLibFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener.Valid()) return nullptr;
  // Accepted connections take these from the listener: set once here, they cost no system
  // calls per connection.
  int sendBuffer = upnp_limits::kAcceptedSendBufferBytes;
  ::setsockopt(listener.Get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  // Answers are written whole and at once; holding their last small segment back until
  // the client's delayed acknowledgement arrives would add tens of milliseconds to each.
  int noDelay = 1;
  ::setsockopt(listener.Get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  uint16_t bound = BindListener(listener.Get(), bindAddress, port);
  if (bound == 0 || ::listen(listener.Get(), upnp_limits::kListenBacklog) != 0) {
    platform::Logf("async server: cannot listen on port %u (errno %d)\n", port, errno);
    return nullptr;
  }
  auto server = std::make_unique<FLibAsyncServerSocket>();
  server->BeforeWait = ServerBeforeWait;
  server->AfterWait = ServerAfterWait;
  server->Dispose = ServerDispose;
  server->Chain = chain;
  server->Listener = std::move(listener);
  server->BoundPortValue = bound;
  server->ConnectDone = connectDone;
  server->Closed = closed;
  server->Interrupted = interrupted;
  server->DataArrived = dataArrived;
  server->SendDrained = sendDrained;
  for (int i = 0; i < maxConnections; ++i) {
    auto token = std::make_unique<FLibServerToken>();
    token->Server = server.get();
    server->Tokens.push_back(std::move(token));
    server->Pool.push_back(FLibAsyncSocket_Create(chain, initialBufferSize, PoolData, nullptr,
                                                  PoolClosed, PoolDrained));
  }
  // The pooled sockets were added first, so their Dispose (and Interrupted) runs before
  // the listener's, while the server object still exists.
  return FLibChain_AddModule(chain, std::move(server));
}

uint16_t FLibAsyncServerSocket_BoundPort(const FLibAsyncServerSocket* server) {
  return server->BoundPortValue;
}

void* FLibAsyncServerSocket_Owner(const FLibAsyncServerSocket* server) { return server->Owner; }

void FLibAsyncServerSocket_SetOwner(FLibAsyncServerSocket* server, void* owner) {
  server->Owner = owner;
}
