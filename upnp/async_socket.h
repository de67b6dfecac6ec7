// Non-blocking TCP connections driven by an event chain. Every callback runs on the
// chain's thread; FLibAsyncSocket_Send may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "upnp/chain.h"
#include "upnp/socket_util.h"

// Who owns a buffer handed to a send. Free: the socket frees it with std::free once sent
// (it must come from std::malloc). Static: never freed. User: the caller keeps it, so
// the socket copies whatever it cannot send at once.
enum FLibOwnership : int {
  FLibOwnership_Free = 0,
  FLibOwnership_Static = 1,
  FLibOwnership_User = 2,
};

// Send results.
inline constexpr int FLibSend_Done = 0;     // everything went to the kernel at once
inline constexpr int FLibSend_Queued = 1;   // some bytes wait for the socket to drain
inline constexpr int FLibSend_Closed = -4;  // the connection is closed or the send failed

struct FLibAsyncSocket;

// Bytes arrived: the unconsumed bytes are buffer[*begin, end). The consumer advances
// *begin past what it has taken (the rest is kept and offered again with later bytes)
// and may set *pause to stop reading until FLibAsyncSocket_Resume.
using FLibAsyncSocket_OnData = void (*)(FLibAsyncSocket* socket, char* buffer, size_t* begin,
                                        size_t end, void* user, bool* pause);
// An outgoing connect finished: ok is -1 on success and 0 on failure.
using FLibAsyncSocket_OnConnect = void (*)(FLibAsyncSocket* socket, int ok, void* user);
// Closed (peer closed, reset, or FLibAsyncSocket_Disconnect), SendDrained (every queued
// byte has been sent without error) and Interrupted (the chain ended while connected).
using FLibAsyncSocket_OnEvent = void (*)(FLibAsyncSocket* socket, void* user);

struct FLibPendingSend {
  const char* Data = nullptr;  // static or caller-kept bytes (when Copy and Owned are empty)
  std::unique_ptr<char, decltype(&std::free)> Owned{nullptr, &std::free};
  std::string Copy;
  size_t Length = 0;
  size_t Sent = 0;

  const char* Bytes() const;
};

struct FLibAsyncSocket : FLibModule {
  FLibChain* Chain = nullptr;
  uint64_t QueuedBytes = 0;  // under SendGuard
  FLibFd Socket;             // changed on the chain thread under SendGuard
  uint32_t RemoteAddress = 0;
  uint16_t RemotePort = 0;
  uint32_t LocalInterface = 0;

  FLibAsyncSocket_OnData DataArrived = nullptr;
  FLibAsyncSocket_OnConnect ConnectDone = nullptr;
  FLibAsyncSocket_OnEvent Closed = nullptr;
  FLibAsyncSocket_OnEvent SendDrained = nullptr;
  FLibAsyncSocket_OnEvent Interrupted = nullptr;
  void* User = nullptr;

  std::atomic<bool> Idle{true};
  std::atomic<bool> Paused{false};
  std::atomic<bool> Connected{false};
  std::atomic<bool> Redeliver{false};            // deliver buffered bytes on the next turn
  std::atomic<bool> DisconnectRequested{false};  // a send failed on another thread
  bool ConnectFailPending = false;
  uint64_t Generation = 0;  // changes whenever the object starts or ends a connection

  // A lingering close (chain thread): once the queue has drained the sending side is shut
  // down, and arriving bytes are dropped until the peer closes, LingerLeft bytes have
  // come or LingerUntilMs has passed.
  bool Lingering = false;
  bool LingerShut = false;
  uint32_t LingerMs = 0;
  uint64_t LingerUntilMs = 0;
  size_t LingerLeft = 0;

  size_t ConsumedOffset = 0;
  size_t FilledOffset = 0;
  std::vector<char> Buffer;
  size_t StartBufferSize = 0;
  size_t MaxBufferSize = 0;

  std::deque<FLibPendingSend> Pending;  // under SendGuard
  std::mutex SendGuard;
};

// A socket object with a receive buffer of `initialBufferSize`, added to the chain.
FLibAsyncSocket* FLibAsyncSocket_Create(FLibChain* chain, size_t initialBufferSize,
                                        FLibAsyncSocket_OnData dataArrived,
                                        FLibAsyncSocket_OnConnect connectDone,
                                        FLibAsyncSocket_OnEvent closed,
                                        FLibAsyncSocket_OnEvent sendDrained);

// Starts a connect from `localInterface` (0 = any) at a random port in 50000..64999 to
// remoteAddress:remotePort. The result arrives through ConnectDone on the chain thread.
// Returns 0, or -1 when the object is in use. Chain thread.
int FLibAsyncSocket_Connect(FLibAsyncSocket* socket, uint32_t localInterface,
                            uint32_t remoteAddress, uint16_t remotePort,
                            FLibAsyncSocket_OnEvent interrupted, void* user);

// Takes over an accepted descriptor, which must be non-blocking already (accept4 with
// SOCK_NONBLOCK). Chain thread.
void FLibAsyncSocket_Adopt(FLibAsyncSocket* socket, FLibFd accepted,
                           FLibAsyncSocket_OnEvent interrupted, void* user);

// Sends or queues bytes; see FLibOwnership and the FLibSend_ results. Bytes sent while an
// outgoing connect is in progress wait until it completes. After a failed send the
// connection is closed on the chain thread (Closed runs there). Any thread.
int FLibAsyncSocket_Send(FLibAsyncSocket* socket, const char* buffer, size_t length, int ownership);
// The same for bytes the socket takes over.
int FLibAsyncSocket_SendString(FLibAsyncSocket* socket, std::string bytes);
// `head` and then `body` as one send: what the socket takes at once is never copied, and
// only what has to wait is. Answers as FLibAsyncSocket_SendString.
int FLibAsyncSocket_SendPair(FLibAsyncSocket* socket, std::string head, std::string_view body);

// Closes the connection, drops pending sends and calls Closed; nothing if already closed.
// Chain thread. Afterwards the object may be reused for another connection at once.
void FLibAsyncSocket_Disconnect(FLibAsyncSocket* socket);
// Closes without destroying what was sent: the queued bytes go out, the sending side is
// shut down, and the bytes the peer still sends are read and dropped until it closes,
// `maxBytes` have arrived or `maxMs` have passed since the shutdown; then the connection
// is closed as by FLibAsyncSocket_Disconnect. Closing at once while the peer's bytes wait
// unread makes the kernel answer with a reset, which can destroy the answer before the
// peer has read it. DataArrived is not called again. Chain thread.
void FLibAsyncSocket_LingeringClose(FLibAsyncSocket* socket, uint32_t maxMs, size_t maxBytes);

// Reads what has already arrived, without waiting for the next turn's poll: a client's
// request usually follows its connect at once. Chain thread.
void FLibAsyncSocket_ReadNow(FLibAsyncSocket* socket);

// Stops reading; buffered bytes stay. Chain thread.
void FLibAsyncSocket_Pause(FLibAsyncSocket* socket);
// Reads again; bytes already buffered are delivered first, on the next turn. Any thread.
void FLibAsyncSocket_Resume(FLibAsyncSocket* socket);

uint64_t FLibAsyncSocket_PendingBytes(FLibAsyncSocket* socket);
bool FLibAsyncSocket_IsFree(const FLibAsyncSocket* socket);

// ---- Listening sockets with a fixed pool of connections ----

struct FLibAsyncServerSocket;

// The per-connection User pointer lives in the server; callbacks get its address so that
// ConnectDone can set it.
using FLibAsyncServer_OnConnect = void (*)(FLibAsyncServerSocket* server,
                                           FLibAsyncSocket* connection, void** user);
using FLibAsyncServer_OnData = void (*)(FLibAsyncServerSocket* server, FLibAsyncSocket* connection,
                                        char* buffer, size_t* begin, size_t end, void** user,
                                        bool* pause);
using FLibAsyncServer_OnEvent = void (*)(FLibAsyncServerSocket* server, FLibAsyncSocket* connection,
                                         void* user);

struct FLibServerToken {
  FLibAsyncServerSocket* Server = nullptr;
  void* User = nullptr;
};

struct FLibAsyncServerSocket : FLibModule {
  FLibChain* Chain = nullptr;
  std::vector<FLibAsyncSocket*> Pool;
  std::vector<std::unique_ptr<FLibServerToken>> Tokens;  // one per pooled connection
  FLibFd Listener;
  uint16_t BoundPortValue = 0;
  bool LoopbackOnly = false;  // accept only peers whose address equals our local address
  FLibAsyncServer_OnConnect ConnectDone = nullptr;
  FLibAsyncServer_OnEvent Closed = nullptr;
  FLibAsyncServer_OnEvent Interrupted = nullptr;
  FLibAsyncServer_OnData DataArrived = nullptr;
  FLibAsyncServer_OnEvent SendDrained = nullptr;
  void* Owner = nullptr;
};

// Listens on bindAddress (0 = any) at `port` (0 = a random port in 50000..64999) with a
// pool of `maxConnections`. While every pooled connection is busy, new clients wait in
// the kernel's backlog. Null when no port could be bound.
FLibAsyncServerSocket* FLibAsyncServerSocket_Create(
    FLibChain* chain, int maxConnections, uint16_t port, size_t initialBufferSize,
    FLibAsyncServer_OnConnect connectDone, FLibAsyncServer_OnEvent closed,
    FLibAsyncServer_OnEvent interrupted, FLibAsyncServer_OnData dataArrived,
    FLibAsyncServer_OnEvent sendDrained, uint32_t bindAddress = 0);

uint16_t FLibAsyncServerSocket_BoundPort(const FLibAsyncServerSocket* server);
void* FLibAsyncServerSocket_Owner(const FLibAsyncServerSocket* server);
void FLibAsyncServerSocket_SetOwner(FLibAsyncServerSocket* server, void* owner);
