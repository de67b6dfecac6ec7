// The embedded HTTP/1.1 server of the device stack. Each TCP connection is a session
// that serves one request after another (keep-alive) and is closed after a few seconds
// without a request. Requests go to a registered virtual directory, chosen by the first
// segment of the path, or to the session's own handler. Answers may be sent whole or
// streamed, from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "upnp/async_socket.h"
#include "upnp/http_reader.h"
#include "upnp/limits.h"
#include "upnp/timer.h"

struct FLibWebServer;
struct FLibWebSession;

// A request for a handler. Called once with done false when the header has arrived and
// a body follows, and once with done true when the whole request has arrived; then
// request->Body holds the whole body. For a virtual directory, request->Target is the
// rest of the path after the directory's name ("/0/12/a.mp3" arrives as "/12/a.mp3").
// The packet stays valid until the response has been finished. Every request must be
// answered exactly once (SendPacket, SendBytes with done, or a stream ending with done),
// or the session closed; until then the session reads nothing more from its client.
using FLibWebServer_Handler = void (*)(FLibWebSession* session, FLibHttpPacket* request, bool done,
                                       void* user);
// A new connection; the owner sets the session's DataArrived, Closed and User here.
using FLibWebServer_SessionStarted = void (*)(FLibWebSession* session, void* user);
using FLibWebSession_Event = void (*)(FLibWebSession* session, void* user);

// Results of the send operations.
inline constexpr int FLibWeb_Sent = 0;      // handed to the kernel
inline constexpr int FLibWeb_Queued = 1;    // queued; SendDrained follows
inline constexpr int FLibWeb_Closing = -2;  // sent; the connection closes after this response
inline constexpr int FLibWeb_NoSession = -3;
inline constexpr int FLibWeb_Gone = -4;  // the connection is gone; nothing was sent

// Time-outs of a server; tests shorten them.
struct FLibWebServerOptions {
  uint32_t IdleMs = upnp_limits::kWebSessionIdleMs;
  uint32_t HeaderDeadlineMs = upnp_limits::kHttpHeaderDeadlineMs;
  uint32_t BodyDeadlineMs = upnp_limits::kHttpBodyDeadlineMs;
  uint32_t SendStallMs = upnp_limits::kWebSendStallMs;
  uint32_t LingerMs = upnp_limits::kLingerMs;
  uint32_t BindAddress = 0;  // host order; 0 = every interface
};

struct FLibWebSessionTimerKey {
  FLibWebSession* Session = nullptr;
};

// One connection. Lock order: a session's Lock, then its connection's SendGuard, then a
// timer module's lock; no callback runs while any of them is held.
struct FLibWebSession {
  // Set by the owner in SessionStarted; called on the chain thread.
  FLibWebServer_Handler DataArrived = nullptr;
  FLibWebSession_Event Closed = nullptr;
  void* User = nullptr;
  // Called when every queued byte of the response has been sent (any thread may set it).
  std::atomic<FLibWebSession_Event> SendDrained{nullptr};
  FLibWebServer* Server = nullptr;

  // Chain-thread state of the request being read.
  FLibHttpReader Reader;
  bool Dispatched = false;
  FLibWebServer_Handler Handler = nullptr;
  void* HandlerUser = nullptr;
  uint64_t FirstByteMs = 0;

  // Shared with the threads that answer; under Lock.
  std::mutex Lock;
  FLibAsyncSocket* Socket = nullptr;  // null once the connection is gone
  uint32_t PeerAddress = 0;
  uint32_t LocalAddress = 0;
  bool RequestRead = false;  // the whole request has been read
  bool RequestIs10 = false;
  bool KeepAlive = false;
  bool HeadRequest = false;
  bool Chunked = false;
  bool CloseAfterResponse = false;
  bool HeadSent = false;          // the head of the response has gone out
  bool Answered = false;          // the response is finished
  bool CloseWhenDrained = false;  // close once the queued response has gone out
  // The watch on queued answer bytes: armed while some wait, with what waited at the
  // last look and whether everything went out since.
  bool StallWatch = false;
  uint64_t StallPending = 0;
  bool DrainedSinceLook = false;

  std::atomic<int> RefCount{1};
  FLibWebSessionTimerKey IdleKey, HeaderKey, BodyKey, FinishKey, CloseKey, StallKey;
};

struct FLibWebDirectory {
  FLibWebServer_Handler Handler = nullptr;
  void* User = nullptr;
};

struct FLibWebServer : FLibModule {
  FLibChain* Chain = nullptr;
  FLibAsyncServerSocket* ServerSocket = nullptr;
  FLibTimer* Timers = nullptr;
  FLibWebServer_SessionStarted SessionStarted = nullptr;
  void* User = nullptr;
  FLibWebServerOptions Options;
  std::mutex DirectoryLock;
  std::unordered_map<std::string, FLibWebDirectory> Directories;
};

// A server with `maxConnections` pooled connections on `port` (0 = random 50000..64999);
// null when no port could be bound.
FLibWebServer* FLibWebServer_Create(FLibChain* chain, int maxConnections, uint16_t port,
                                    FLibWebServer_SessionStarted sessionStarted, void* user,
                                    const FLibWebServerOptions& options = {});
uint16_t FLibWebServer_BoundPort(const FLibWebServer* server);

// 0, or 1 when the name is registered already. Any thread.
int FLibWebServer_AddVirtualDirectory(FLibWebServer* server, std::string_view name,
                                      FLibWebServer_Handler handler, void* user);

// Sends raw bytes; with done the request is finished once they are sent. Any thread.
int FLibWebServer_SendBytes(FLibWebSession* session, const char* buffer, size_t length,
                            int ownership, bool done);

// Streaming: a head, then pieces, the last with done. Requests of HTTP/1.1 get a chunked
// body; HTTP/1.0 requests get the bytes as they are and a close after the response.
// Answers to HEAD carry no body bytes. Any thread.
// The head "HTTP/1.1 <code> <reason>", Transfer-Encoding for HTTP/1.1 requests, then the
// extra header text, which begins with "\r\n" ("\r\nContent-Type: text/xml").
// `contentLength` is -1 when the body's length is unknown. A known length means the
// extra headers carry "Content-Length" themselves: the body then goes out unframed (never
// chunked as well), and the caller sends exactly that many bytes or closes the session.
int FLibWebServer_BeginStreamRaw(FLibWebSession* session, int code, std::string_view reason,
                                 std::string_view extraHeaders, int64_t contentLength = -1);
// A whole answer in one write: the head as BeginStreamRaw makes it, a Content-Length for
// `body`, and the body (left out for HEAD), which finishes the request. For an answer
// that is all in memory anyway; it saves the chunk framing and a write per piece. Any
// thread.
int FLibWebServer_SendWhole(FLibWebSession* session, int code, std::string_view reason,
                            std::string_view extraHeaders, std::string_view body);
int FLibWebServer_StreamPiece(FLibWebSession* session, const char* buffer, size_t length,
                              int ownership, bool done);

// Closes the connection once what is queued has been sent. Any thread.
void FLibWebServer_CloseSession(FLibWebSession* session);

// Reference counting: the session's memory lives while its connection does or while
// anyone holds it. Any thread.
void FLibWebServer_Hold(FLibWebSession* session);
void FLibWebServer_Drop(FLibWebSession* session);

uint32_t FLibWebServer_PeerAddress(FLibWebSession* session);
uint32_t FLibWebServer_LocalAddress(FLibWebSession* session);
