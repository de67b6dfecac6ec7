#include "upnp/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "upnp/text_split.h"

namespace {

// The chunk that ends a chunked body.
constexpr std::string_view kLastChunk = "0\r\n\r\n";

// What a finished response leaves to do on the chain thread.
enum class AfterResponse { Nothing, KeepAlive, Close };

FLibWebSession* SessionOfKey(void* key) {
  return static_cast<FLibWebSessionTimerKey*>(key)->Session;
}

void ReleaseTimerReference(void* key) { FLibWebServer_Drop(SessionOfKey(key)); }

// Every timer entry holds a reference, so a session never disappears under its timers.
void Schedule(FLibWebSession* session, FLibWebSessionTimerKey* key, uint32_t delayMs,
              FLibTimer_Callback callback) {
  FLibWebServer_Hold(session);
  FLibTimer_Add(session->Server->Timers, key, delayMs, callback, ReleaseTimerReference);
}

void Unschedule(FLibWebSession* session, FLibWebSessionTimerKey* key) {
  FLibTimer_Cancel(session->Server->Timers, key);
}

void DisconnectNow(FLibWebSession* session) {
  FLibAsyncSocket* socket = nullptr;
  {
    std::lock_guard lock(session->Lock);
    socket = session->Socket;
  }
  if (socket) FLibAsyncSocket_Disconnect(socket);
}

void OnIdle(void* key) {
  FLibWebSession* session = SessionOfKey(key);
  if (!session->Reader.Started) DisconnectNow(session);
  FLibWebServer_Drop(session);
}

void OnDeadline(void* key) {
  FLibWebSession* session = SessionOfKey(key);
  bool read = false;
  {
    std::lock_guard lock(session->Lock);
    read = session->RequestRead;
  }
  if (!read) {
    platform::Logf("web server: request from %s too slow, closing\n",
                   FLibIpv4ToText(session->PeerAddress).c_str());
    DisconnectNow(session);
  }
  FLibWebServer_Drop(session);
}

// Looks at an answer's queued bytes once per stall period: a client that took none of
// them in a whole period is cut off.
void OnSendStall(void* key) {
  FLibWebSession* session = SessionOfKey(key);
  enum class Verdict { Done, Again, Cut } verdict = Verdict::Done;
  {
    std::lock_guard lock(session->Lock);
    if (session->Socket != nullptr) {
      uint64_t pending = FLibAsyncSocket_PendingBytes(session->Socket);
      if (pending == 0) {
        verdict = Verdict::Done;
      } else if (session->DrainedSinceLook || pending < session->StallPending) {
        verdict = Verdict::Again;
      } else {
        verdict = Verdict::Cut;
      }
      session->StallPending = pending;
      session->DrainedSinceLook = false;
      session->StallWatch = verdict == Verdict::Again;
    }
  }
  if (verdict == Verdict::Again) {
    Schedule(session, &session->StallKey, session->Server->Options.SendStallMs, OnSendStall);
  } else if (verdict == Verdict::Cut) {
    platform::Logf("web server: %s stopped reading its answer, closing\n",
                   FLibIpv4ToText(session->PeerAddress).c_str());
    DisconnectNow(session);
  }
  FLibWebServer_Drop(session);
}

void ArmIdle(FLibWebSession* session) {
  Unschedule(session, &session->IdleKey);
  Schedule(session, &session->IdleKey, session->Server->Options.IdleMs, OnIdle);
}

// Closes once the queued bytes have gone out, so that the end of a response is never
// cut off by the close. A request not read whole (refused, or answered before its body
// arrived) may still be arriving: that connection lingers, so that the close does not
// reset it before the client has read the answer.
void OnClose(void* key) {
  FLibWebSession* session = SessionOfKey(key);
  FLibAsyncSocket* socket = nullptr;
  bool linger = false;
  {
    std::lock_guard lock(session->Lock);
    socket = session->Socket;
    linger = !session->RequestRead;
    if (socket && !linger) session->CloseWhenDrained = true;
  }
  if (socket && linger) {
    FLibAsyncSocket_LingeringClose(socket, session->Server->Options.LingerMs,
                                   upnp_limits::kLingerMaxBytes);
  } else if (socket) {
    FLibAsyncSocket_Pause(socket);
    if (FLibAsyncSocket_PendingBytes(socket) == 0) FLibAsyncSocket_Disconnect(socket);
  }
  FLibWebServer_Drop(session);
}

// Readies a kept-alive session for its next request, which may already be buffered.
void OnFinishKeep(void* key) {
  FLibWebSession* session = SessionOfKey(key);
  FLibAsyncSocket* socket = nullptr;
  {
    std::lock_guard lock(session->Lock);
    socket = session->Socket;
    if (socket) {
      session->RequestRead = false;
      session->Answered = false;
      session->Chunked = false;
      session->CloseAfterResponse = false;
      session->HeadSent = false;
    }
  }
  if (socket) {
    FLibHttpReader_Reset(&session->Reader);
    session->Dispatched = false;
    session->Handler = nullptr;
    session->HandlerUser = nullptr;
    ArmIdle(session);
    FLibAsyncSocket_Resume(socket);
  }
  FLibWebServer_Drop(session);
}

// Marks the response finished and decides whether the connection stays. Session lock
// held. A request answered before its body was read whole cannot be told from the next
// one, so its connection closes.
AfterResponse FinishLocked(FLibWebSession* session) {
  if (session->Answered || session->Socket == nullptr) return AfterResponse::Nothing;
  session->Answered = true;
  bool keep = session->KeepAlive && !session->CloseAfterResponse && session->RequestRead;
  return keep ? AfterResponse::KeepAlive : AfterResponse::Close;
}

int ApplyAfterResponse(FLibWebSession* session, AfterResponse after, int result) {
  if (after == AfterResponse::KeepAlive) Schedule(session, &session->FinishKey, 0, OnFinishKeep);
  if (after == AfterResponse::Close) {
    Schedule(session, &session->CloseKey, 0, OnClose);
    if (result >= 0) result = FLibWeb_Closing;
  }
  return result;
}

// Called under the session lock as the head of a response goes out: true when the
// connection closes after this response. The head must then say so, or a client that
// pools connections sends its next request into a closing one; and having said so the
// connection does close, even when a body still being read arrives whole later.
bool HeadClosesLocked(FLibWebSession* session) {
  if (session->HeadSent) return false;
  session->HeadSent = true;
  bool close = !session->KeepAlive || session->CloseAfterResponse || !session->RequestRead;
  if (close) session->CloseAfterResponse = true;
  return close;
}

// `head` (a response's first bytes) with "Connection: close" as its last header line,
// unless it names a Connection already.
std::string WithConnectionClose(std::string_view head) {
  size_t end = head.find("\r\n\r\n");
  std::string_view fields = head.substr(0, end);
  for (size_t at = fields.find("\r\n"); at != std::string_view::npos;
       at = fields.find("\r\n", at + 2)) {
    constexpr std::string_view kName = "connection:";
    if (platform::AsciiEqualsNoCase(fields.substr(at + 2, kName.size()), kName))
      return std::string(head);
  }
  size_t insertAt = end != std::string_view::npos ? end : head.find("\r\n");
  if (insertAt == std::string_view::npos) return std::string(head);
  std::string out(head.substr(0, insertAt));
  out += "\r\nConnection: close";
  out += head.substr(insertAt);
  return out;
}

// The worse of two send results: any failure wins, then "queued".
int Combine(int a, int b) {
  if (a < 0 || b < 0) return std::min(a, b);
  return std::max(a, b);
}

void FreeIfOwned(const char* buffer, int ownership) {
  if (ownership == FLibOwnership_Free) std::free(const_cast<char*>(buffer));
}

// Sends under the session lock, so that pieces from several threads keep their order and
// never reach a connection that replaced this one.
int SendLocked(FLibWebSession* session, const char* buffer, size_t length, int ownership) {
  if (session->Socket == nullptr) {
    FreeIfOwned(buffer, ownership);
    return FLibWeb_Gone;
  }
  if (session->Answered) {  // a second answer, or one after the session was closed
    FreeIfOwned(buffer, ownership);
    return FLibWeb_Closing;
  }
  return FLibAsyncSocket_Send(session->Socket, buffer, length, ownership);
}

int SendStringLocked(FLibWebSession* session, std::string bytes) {
  if (session->Socket == nullptr) return FLibWeb_Gone;
  if (session->Answered) return FLibWeb_Closing;
  return FLibAsyncSocket_SendString(session->Socket, std::move(bytes));
}

int SendPairLocked(FLibWebSession* session, std::string head, std::string_view body) {
  if (session->Socket == nullptr) return FLibWeb_Gone;
  if (session->Answered) return FLibWeb_Closing;
  return FLibAsyncSocket_SendPair(session->Socket, std::move(head), body);
}

// The common tail of every send: finish when done, and watch bytes that had to wait.
int Complete(FLibWebSession* session, std::unique_lock<std::mutex>& lock, int result, bool done) {
  AfterResponse after = AfterResponse::Nothing;
  if (result >= 0 && done) after = FinishLocked(session);
  bool watch = result == FLibWeb_Queued && !session->StallWatch && session->Socket != nullptr;
  if (watch) {
    session->StallWatch = true;
    session->StallPending = FLibAsyncSocket_PendingBytes(session->Socket);
    session->DrainedSinceLook = false;
  }
  lock.unlock();
  if (watch)
    Schedule(session, &session->StallKey, session->Server->Options.SendStallMs, OnSendStall);
  return ApplyAfterResponse(session, after, result);
}

void SendError(FLibWebSession* session, int status) {
  const char* text = status == 413
                         ? "HTTP/1.1 413 Request Entity Too Large\r\nContent-Length: 0\r\n"
                           "Connection: close\r\n\r\n"
                         : "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                           "Connection: close\r\n\r\n";
  std::unique_lock lock(session->Lock);
  session->KeepAlive = false;
  int result = SendLocked(session, text, std::strlen(text), FLibOwnership_Static);
  Complete(session, lock, result, true);
}

void SendNotFound(FLibWebSession* session) {
  static const char kText[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  FLibWebServer_SendBytes(session, kText, sizeof kText - 1, FLibOwnership_Static, true);
}

// "/0/12/a.mp3" names the directory "0"; so does "0/12". The rest keeps its "/".
std::string_view DirectoryName(std::string_view target, size_t* restAt) {
  size_t start = !target.empty() && target[0] == '/' ? 1 : 0;
  size_t end = target.find('/', start);
  if (end == std::string_view::npos) end = target.size();
  *restAt = end;
  return target.substr(start, end - start);
}

void ChooseHandler(FLibWebSession* session, FLibHttpPacket* request) {
  FLibWebServer* server = session->Server;
  session->Handler = session->DataArrived;
  session->HandlerUser = session->User;
  std::lock_guard lock(server->DirectoryLock);
  if (server->Directories.empty()) return;
  size_t restAt = 0;
  std::string_view name = DirectoryName(request->Target, &restAt);
  auto it = server->Directories.find(std::string(name));
  if (it == server->Directories.end()) return;
  session->Handler = it->second.Handler;
  session->HandlerUser = it->second.User;
  request->Target.erase(0, restAt);
}

void Dispatch(FLibWebSession* session, bool done) {
  FLibHttpPacket* request = session->Reader.Packet.get();
  if (!session->Dispatched) {
    session->Dispatched = true;
    {
      std::lock_guard lock(session->Lock);
      session->RequestIs10 = request->Version == "1.0";
      session->KeepAlive = session->RequestIs10
                               ? FLibHttp_HeaderEquals(*request, "Connection", "keep-alive")
                               : !FLibHttp_HeaderEquals(*request, "Connection", "close");
      session->HeadRequest = request->Method == "HEAD";
      if (done) session->RequestRead = true;
    }
    ChooseHandler(session, request);
  } else if (done) {
    std::lock_guard lock(session->Lock);
    session->RequestRead = true;
  }
  if (session->Handler) {
    session->Handler(session, request, done, session->HandlerUser);
  } else if (done) {
    SendNotFound(session);
  }
}

bool Gone(FLibWebSession* session) {
  std::lock_guard lock(session->Lock);
  return session->Socket == nullptr || session->Answered;
}

void StartDeadlines(FLibWebSession* session) {
  Unschedule(session, &session->IdleKey);
  session->FirstByteMs = platform::TickCountMs();
  Schedule(session, &session->HeaderKey, session->Server->Options.HeaderDeadlineMs, OnDeadline);
}

void HeaderArrived(FLibWebSession* session) {
  Unschedule(session, &session->HeaderKey);
  uint64_t elapsed = platform::TickCountMs() - session->FirstByteMs;
  uint64_t limit = session->Server->Options.BodyDeadlineMs;
  Schedule(session, &session->BodyKey, static_cast<uint32_t>(limit > elapsed ? limit - elapsed : 0),
           OnDeadline);
  FLibHttpReader& reader = session->Reader;
  if (reader.ExpectContinue && !reader.Packet->Version.empty() && reader.Packet->Version != "1.0") {
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    std::lock_guard lock(session->Lock);
    SendLocked(session, kContinue, sizeof kContinue - 1, FLibOwnership_Static);
  }
}

// Feeds the reader from the connection's buffer and hands requests over. Stops reading
// after each whole request until it has been answered, so pipelined requests wait in the
// buffer and a client cannot pile up work.
void ProcessBytes(FLibWebSession* session, char* buffer, size_t* begin, size_t end, bool* pause) {
  while (*begin < end) {
    if (Gone(session) || session->Reader.State == FLibHttpReaderState::Complete) {
      *pause = true;
      return;
    }
    if (!session->Reader.Started) StartDeadlines(session);
    size_t consumed = 0;
    int result = FLibHttpReader_Feed(&session->Reader,
                                     std::string_view(buffer + *begin, end - *begin), &consumed);
    *begin += consumed;
    if (result == FLibHttpReader_Failed) {
      platform::Logf("web server: refused request from %s: %s\n",
                     FLibIpv4ToText(session->PeerAddress).c_str(), session->Reader.ErrorText);
      Unschedule(session, &session->HeaderKey);
      Unschedule(session, &session->BodyKey);
      *pause = true;
      SendError(session, session->Reader.ErrorStatus);
      return;
    }
    if (result == FLibHttpReader_HeaderDone) {
      HeaderArrived(session);
      Dispatch(session, false);
    } else if (result == FLibHttpReader_MessageDone) {
      Unschedule(session, &session->HeaderKey);
      Unschedule(session, &session->BodyKey);
      *pause = true;
      Dispatch(session, true);
      return;
    } else if (consumed == 0) {
      return;
    }
  }
}

FLibWebSession* SessionOf(void** user) { return static_cast<FLibWebSession*>(*user); }

void OnConnection(FLibAsyncServerSocket* serverSocket, FLibAsyncSocket* connection, void** user) {
  auto* server = static_cast<FLibWebServer*>(FLibAsyncServerSocket_Owner(serverSocket));
  auto owned = std::make_unique<FLibWebSession>();
  FLibWebSession* session = owned.release();  // freed by the last FLibWebServer_Drop
  session->Server = server;
  session->Socket = connection;
  session->PeerAddress = connection->RemoteAddress;
  session->LocalAddress = connection->LocalInterface;
  for (FLibWebSessionTimerKey* key : {&session->IdleKey, &session->HeaderKey, &session->BodyKey,
                                      &session->FinishKey, &session->CloseKey, &session->StallKey})
    key->Session = session;
  FLibHttpReader_Init(&session->Reader, FLibHttpReaderMode::Server);
  *user = session;
  ArmIdle(session);
  if (server->SessionStarted) server->SessionStarted(session, server->User);
}

void OnData(FLibAsyncServerSocket*, FLibAsyncSocket*, char* buffer, size_t* begin, size_t end,
            void** user, bool* pause) {
  FLibWebSession* session = SessionOf(user);
  if (session == nullptr) {
    *begin = end;
    return;
  }
  FLibWebServer_Hold(session);
  ProcessBytes(session, buffer, begin, end, pause);
  FLibWebServer_Drop(session);
}

void OnGone(FLibAsyncServerSocket*, FLibAsyncSocket*, void* user) {
  auto* session = static_cast<FLibWebSession*>(user);
  if (session == nullptr) return;
  {
    std::lock_guard lock(session->Lock);
    session->Socket = nullptr;
  }
  for (FLibWebSessionTimerKey* key : {&session->IdleKey, &session->HeaderKey, &session->BodyKey,
                                      &session->FinishKey, &session->CloseKey, &session->StallKey})
    Unschedule(session, key);
  if (session->Closed) session->Closed(session, session->User);
  FLibWebServer_Drop(session);  // the connection's reference
}

void OnDrained(FLibAsyncServerSocket*, FLibAsyncSocket* connection, void* user) {
  auto* session = static_cast<FLibWebSession*>(user);
  if (session == nullptr) return;
  bool close = false;
  {
    std::lock_guard lock(session->Lock);
    close = session->CloseWhenDrained;
    session->DrainedSinceLook = true;
  }
  if (close) {
    FLibAsyncSocket_Disconnect(connection);
    return;
  }
  FLibWebSession_Event drained = session->SendDrained.load();
  if (drained) drained(session, session->User);
}

// Folds header lines longer than the fold width into pieces joined by CR LF space.
std::string FoldHeaderText(std::string_view extra) {
  const size_t width = upnp_limits::kHttpHeaderFoldWidth;
  if (extra.size() < width) return std::string(extra);
  std::string out;
  FLibSplitList lines = FLibText_Split(extra, "\r\n");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (i == 0 && line.empty()) continue;  // the text begins with "\r\n"
    out += "\r\n";
    size_t colon = line.find(':');
    if (line.size() <= width || colon == std::string_view::npos) {
      out += line;
      continue;
    }
    out += line.substr(0, colon + 1);
    std::string_view value = line.substr(colon + 1);
    for (size_t at = 0; at < value.size(); at += width) {
      if (at > 0) out += "\r\n ";
      out += value.substr(at, width);
    }
  }
  return out;
}

std::string CleanLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

}  // namespace

FLibWebServer* FLibWebServer_Create(FLibChain* chain, int maxConnections, uint16_t port,
                                    FLibWebServer_SessionStarted sessionStarted, void* user,
                                    const FLibWebServerOptions& options) {
  FLibTimer* timers = FLibTimer_Create(chain);
  FLibAsyncServerSocket* serverSocket = FLibAsyncServerSocket_Create(
      chain, maxConnections, port, upnp_limits::kWebInitialBufferBytes, OnConnection, OnGone,
      OnGone, OnData, OnDrained, options.BindAddress);
  if (serverSocket == nullptr) return nullptr;
  auto server = std::make_unique<FLibWebServer>();
  server->Chain = chain;
  server->ServerSocket = serverSocket;
  server->Timers = timers;
  server->SessionStarted = sessionStarted;
  server->User = user;
  server->Options = options;
  FLibAsyncServerSocket_SetOwner(serverSocket, server.get());
  return FLibChain_AddModule(chain, std::move(server));
}

uint16_t FLibWebServer_BoundPort(const FLibWebServer* server) {
  return FLibAsyncServerSocket_BoundPort(server->ServerSocket);
}

int FLibWebServer_AddVirtualDirectory(FLibWebServer* server, std::string_view name,
                                      FLibWebServer_Handler handler, void* user) {
  std::lock_guard lock(server->DirectoryLock);
  return server->Directories.emplace(std::string(name), FLibWebDirectory{handler, user}).second ? 0
                                                                                                : 1;
}

int FLibWebServer_SendBytes(FLibWebSession* session, const char* buffer, size_t length,
                            int ownership, bool done) {
  if (session == nullptr) {
    FreeIfOwned(buffer, ownership);
    return FLibWeb_NoSession;
  }
  std::unique_lock lock(session->Lock);
  std::string_view bytes(buffer, length);
  int result;
  if (bytes.starts_with("HTTP/") && HeadClosesLocked(session)) {
    std::string head = WithConnectionClose(bytes);
    FreeIfOwned(buffer, ownership);
    result = SendStringLocked(session, std::move(head));
  } else {
    result = SendLocked(session, buffer, length, ownership);
  }
  return Complete(session, lock, result, done);
}

int FLibWebServer_BeginStreamRaw(FLibWebSession* session, int code, std::string_view reason,
                                 std::string_view extraHeaders, int64_t contentLength) {
  if (session == nullptr) return FLibWeb_NoSession;
  std::unique_lock lock(session->Lock);
  std::string head = "HTTP/1.1 " + std::to_string(code) + " " + CleanLine(reason);
  if (session->RequestIs10) {
    session->Chunked = false;
    session->CloseAfterResponse = true;
  } else if (contentLength >= 0) {
    // A body with a Content-Length must not be chunked as well: a client would read the
    // chunk sizes as data.
    session->Chunked = false;
  } else {
    session->Chunked = true;
    head += "\r\nTransfer-Encoding: chunked";
  }
  head += FoldHeaderText(extraHeaders);
  head += "\r\n\r\n";
  if (HeadClosesLocked(session)) head = WithConnectionClose(head);
  int result = SendStringLocked(session, std::move(head));
  return Complete(session, lock, result, false);
}

int FLibWebServer_SendWhole(FLibWebSession* session, int code, std::string_view reason,
                            std::string_view extraHeaders, std::string_view body) {
  if (session == nullptr) return FLibWeb_NoSession;
  std::string head = "HTTP/1.1 " + std::to_string(code) + " " + CleanLine(reason);
  head += FoldHeaderText(extraHeaders);
  head += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  std::unique_lock lock(session->Lock);
  session->Chunked = false;
  // HTTP/1.0 answers close after the response, as every other answer to HTTP/1.0 does.
  if (session->RequestIs10) session->CloseAfterResponse = true;
  if (HeadClosesLocked(session)) head = WithConnectionClose(head);
  // The head and the body leave in one send, without the body copied behind the head: an
  // answer of a hundred objects is over 100 KiB.
  int result =
      SendPairLocked(session, std::move(head), session->HeadRequest ? std::string_view() : body);
  return Complete(session, lock, result, true);
}

int FLibWebServer_StreamPiece(FLibWebSession* session, const char* buffer, size_t length,
                              int ownership, bool done) {
  if (session == nullptr) {
    FreeIfOwned(buffer, ownership);
    return FLibWeb_NoSession;
  }
  std::unique_lock lock(session->Lock);
  int result = FLibWeb_Sent;
  bool terminated = false;  // the last chunk went out with this piece
  if (session->HeadRequest || length == 0) {
    FreeIfOwned(buffer, ownership);
    if (session->Socket == nullptr) result = FLibWeb_Gone;
  } else if (!session->Chunked) {
    result = SendLocked(session, buffer, length, ownership);
  } else {
    // The size line, the data and its CR LF (and the last chunk when done) go out as one
    // write: separate small writes each cost a segment, and the last of them may wait
    // for the client's acknowledgement of the one before.
    char size[24];
    int n = std::snprintf(size, sizeof size, "%zX\r\n", length);
    std::string chunk;
    chunk.reserve(static_cast<size_t>(n) + length + 2 + (done ? kLastChunk.size() : 0));
    chunk.append(size, static_cast<size_t>(n));
    chunk.append(buffer, length);
    chunk += "\r\n";
    FreeIfOwned(buffer, ownership);
    if (done) {
      chunk += kLastChunk;
      terminated = true;
    }
    result = SendStringLocked(session, std::move(chunk));
  }
  if (done && !terminated && result >= 0 && session->Chunked && !session->HeadRequest)
    result = Combine(
        result, SendLocked(session, kLastChunk.data(), kLastChunk.size(), FLibOwnership_Static));
  return Complete(session, lock, result, done);
}

void FLibWebServer_CloseSession(FLibWebSession* session) {
  if (session == nullptr) return;
  {
    std::lock_guard lock(session->Lock);
    if (session->Socket == nullptr) return;
    session->Answered = true;
    session->KeepAlive = false;
  }
  Schedule(session, &session->CloseKey, 0, OnClose);
}

void FLibWebServer_Hold(FLibWebSession* session) {
  session->RefCount.fetch_add(1, std::memory_order_relaxed);
}

void FLibWebServer_Drop(FLibWebSession* session) {
  if (session->RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::unique_ptr<FLibWebSession> owned(session);
  }
}

uint32_t FLibWebServer_PeerAddress(FLibWebSession* session) { return session->PeerAddress; }

uint32_t FLibWebServer_LocalAddress(FLibWebSession* session) { return session->LocalAddress; }
