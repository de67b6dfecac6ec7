#include "upnp/web_client.h"

#include <algorithm>

#include "platform/log.h"

const char* FLibWebClientBuffer::Bytes() const {
  if (Owned) return Owned.get();
  if (Static) return Static;
  return Copy.data();
}

namespace {

using Destination = FLibWebClientDestination;

void TakeBuffer(FLibWebClientBuffer* out, const char* data, size_t length, int ownership) {
  out->Length = data ? length : 0;
  if (data == nullptr) return;
  if (ownership == FLibOwnership_Free) {
    out->Owned.reset(const_cast<char*>(data));
  } else if (ownership == FLibOwnership_Static) {
    out->Static = data;
  } else {
    out->Copy.assign(data, length);
  }
}

Destination* DestinationOfKey(void* key) {
  return static_cast<FLibWebClientTimerKey*>(key)->Destination;
}

void AssignSockets(FLibWebClient* client);
void Kick(Destination* dest);

// Completes the front request. The callback may queue more requests; those arrive
// through the inbox, so the destination is never changed under this call.
void CompleteFront(Destination* dest, int code, FLibHttpPacket* response) {
  FLibTimer_Cancel(dest->Client->Timers, &dest->DeadlineKey);
  dest->InFlight = false;
  dest->ResponseStarted = false;
  if (dest->Requests.empty()) return;
  std::unique_ptr<FLibWebClientRequest> request = std::move(dest->Requests.front());
  dest->Requests.pop_front();
  if (request->OnResponse)
    request->OnResponse(request.get(), code, response, request->User1, request->User2);
}

void FailAll(Destination* dest, int code) {
  while (!dest->Requests.empty()) CompleteFront(dest, code, nullptr);
}

void RemoveDestination(Destination* dest) {
  FLibWebClient* client = dest->Client;
  dest->Removing = true;
  for (FLibWebClientTimerKey* key : {&dest->IdleKey, &dest->RetryKey, &dest->DeadlineKey})
    FLibTimer_Cancel(client->Timers, key);
  if (dest->Socket) FLibAsyncSocket_Disconnect(dest->Socket);
  client->Backlog.erase(std::remove(client->Backlog.begin(), client->Backlog.end(), dest),
                        client->Backlog.end());
  client->IdleOrder.remove(dest);
  client->Destinations.erase(dest->Key);  // frees dest
}

// A destination without connection and requests is remembered as idle; beyond the cap
// the oldest idle destination is forgotten.
void MakeIdle(Destination* dest) {
  FLibWebClient* client = dest->Client;
  if (dest->Idle) return;
  dest->Idle = true;
  client->IdleOrder.push_back(dest);
  if (client->IdleOrder.size() > upnp_limits::kWebClientMaxIdleDestinations)
    RemoveDestination(client->IdleOrder.front());
}

void OnIdleTimer(void* key) {
  Destination* dest = DestinationOfKey(key);
  if (dest->Requests.empty() && !dest->InFlight && dest->Socket)
    FLibAsyncSocket_Disconnect(dest->Socket);
}

void OnDeadline(void* key) {
  Destination* dest = DestinationOfKey(key);
  if (!dest->InFlight) return;
  platform::Logf("web client: no response from %s in time\n", dest->Key.c_str());
  CompleteFront(dest, FLibWebClient_Failed, nullptr);
  if (dest->Socket) FLibAsyncSocket_Disconnect(dest->Socket);
}

void SendFront(Destination* dest) {
  FLibWebClient* client = dest->Client;
  FLibWebClientRequest* request = dest->Requests.front().get();
  FLibTimer_Cancel(client->Timers, &dest->IdleKey);
  FLibHttpReader_Reset(&dest->Reader);
  dest->Reader.ResponseToHead = request->IsHead;
  dest->InFlight = true;
  dest->ResponseStarted = false;
  FLibTimer_Add(client->Timers, &dest->DeadlineKey, client->Options.ResponseDeadlineMs, OnDeadline,
                nullptr);
  // The request keeps its buffers until answered, so the socket copies what must wait.
  FLibAsyncSocket_Send(dest->Socket, request->Head.Bytes(), request->Head.Length,
                       FLibOwnership_User);
  if (request->Body.Length > 0)
    FLibAsyncSocket_Send(dest->Socket, request->Body.Bytes(), request->Body.Length,
                         FLibOwnership_User);
}

void OnRetry(void* key) {
  Destination* dest = DestinationOfKey(key);
  dest->RetryWaiting = false;
  Kick(dest);
  AssignSockets(dest->Client);
}

void ConnectFailed(Destination* dest) {
  dest->RetryStep = dest->RetryStep == 0 ? 1 : dest->RetryStep * 2;
  if (dest->RetryStep < upnp_limits::kWebClientRetryStepLimit) {
    dest->RetryWaiting = true;
    FLibTimer_Add(dest->Client->Timers, &dest->RetryKey,
                  dest->RetryStep * dest->Client->Options.RetryUnitMs, OnRetry, nullptr);
    return;
  }
  platform::Logf("web client: giving up on %s\n", dest->Key.c_str());
  FailAll(dest, FLibWebClient_Failed);
  RemoveDestination(dest);
}

void OnConnectDone(FLibAsyncSocket*, int ok, void* user) {
  auto* dest = static_cast<Destination*>(user);
  if (dest->Removing) return;
  if (ok == 0) {
    FLibWebClient* client = dest->Client;
    dest->Socket = nullptr;
    dest->Connected = false;
    ConnectFailed(dest);  // may forget the destination
    AssignSockets(client);
    return;
  }
  dest->Connected = true;
  dest->RetryStep = 0;
  if (dest->Requests.empty()) {
    FLibTimer_Add(dest->Client->Timers, &dest->IdleKey, dest->Client->Options.IdleMs, OnIdleTimer,
                  nullptr);
    return;
  }
  SendFront(dest);
}

// After a complete response: the next request goes out on the same connection unless the
// peer said it closes.
void ResponseDone(Destination* dest, bool peerCloses) {
  if (peerCloses) {
    dest->ReuseState = 2;
    FLibAsyncSocket_Disconnect(dest->Socket);
    return;
  }
  if (!dest->Requests.empty()) {
    dest->ReuseState = 1;
    SendFront(dest);
  } else if (!dest->Client->Options.KeepIdleConnections) {
    FLibTimer_Add(dest->Client->Timers, &dest->IdleKey, dest->Client->Options.IdleMs, OnIdleTimer,
                  nullptr);
  }
}

bool PeerCloses(const FLibHttpReader& reader) {
  if (reader.CloseAfter || reader.BodyToEnd) return true;
  const FLibHttpPacket& p = *reader.Packet;
  return p.Version == "1.0" && !FLibHttp_HeaderEquals(p, "Connection", "keep-alive");
}

void OnData(FLibAsyncSocket* socket, char* buffer, size_t* begin, size_t end, void* user, bool*) {
  auto* dest = static_cast<Destination*>(user);
  while (*begin < end) {
    if (dest->Removing || !dest->InFlight) {
      // Bytes nobody asked for: the connection is out of step, so drop it.
      *begin = end;
      FLibAsyncSocket_Disconnect(socket);
      return;
    }
    dest->ResponseStarted = true;
    size_t consumed = 0;
    int result = FLibHttpReader_Feed(&dest->Reader, std::string_view(buffer + *begin, end - *begin),
                                     &consumed);
    *begin += consumed;
    if (result == FLibHttpReader_Failed) {
      platform::Logf("web client: bad response from %s: %s\n", dest->Key.c_str(),
                     dest->Reader.ErrorText);
      CompleteFront(dest, FLibWebClient_Failed, nullptr);
      FLibAsyncSocket_Disconnect(socket);
      return;
    }
    if (result == FLibHttpReader_MessageDone) {
      bool closes = PeerCloses(dest->Reader);
      FLibHttpPacketPtr response = std::move(dest->Reader.Packet);
      CompleteFront(dest, FLibWebClient_Ok, response.get());
      ResponseDone(dest, closes);
      if (closes) return;
    } else if (result == FLibHttpReader_NeedMore && consumed == 0) {
      return;
    }
  }
}

void OnClosed(FLibAsyncSocket*, void* user) {
  auto* dest = static_cast<Destination*>(user);
  if (dest->Removing) return;
  FLibWebClient* client = dest->Client;
  dest->Socket = nullptr;
  dest->Connected = false;
  FLibTimer_Cancel(client->Timers, &dest->IdleKey);
  if (dest->InFlight) {
    int result = FLibHttpReader_End(&dest->Reader);
    if (result == FLibHttpReader_MessageDone) {
      FLibHttpPacketPtr response = std::move(dest->Reader.Packet);
      CompleteFront(dest, FLibWebClient_Ok, response.get());
    } else if (!dest->ResponseStarted &&
               dest->Requests.front()->Resends < upnp_limits::kWebClientResendLimit) {
      // Lost before any answer, as when a kept connection was closed by the peer just as
      // the request went out: send it once more on a fresh connection.
      dest->Requests.front()->Resends++;
      dest->InFlight = false;
      FLibTimer_Cancel(client->Timers, &dest->DeadlineKey);
    } else {
      CompleteFront(dest, FLibWebClient_Failed, nullptr);
    }
  }
  if (!dest->Requests.empty()) {
    dest->ReuseState = 2;
    Kick(dest);
  } else {
    MakeIdle(dest);
  }
  AssignSockets(client);
}

void OnInterrupted(FLibAsyncSocket*, void* user) {
  auto* dest = static_cast<Destination*>(user);
  dest->Socket = nullptr;
  dest->Connected = false;
}

void Kick(Destination* dest) {
  if (dest->Removing || dest->Requests.empty()) return;
  if (dest->Idle) {
    dest->Idle = false;
    dest->Client->IdleOrder.remove(dest);
  }
  if (dest->Socket) {
    if (dest->Connected && !dest->InFlight) SendFront(dest);
    return;
  }
  if (!dest->InBacklog && !dest->RetryWaiting) {
    dest->InBacklog = true;
    dest->Client->Backlog.push_back(dest);
  }
}

FLibAsyncSocket* FreeSocket(FLibWebClient* client) {
  for (FLibAsyncSocket* s : client->Pool) {
    if (FLibAsyncSocket_IsFree(s) && !s->Disposed) return s;
  }
  return nullptr;
}

// Destinations wait in the backlog, in order, until a pooled connection is free.
void AssignSockets(FLibWebClient* client) {
  while (!client->Backlog.empty()) {
    FLibAsyncSocket* socket = FreeSocket(client);
    if (socket == nullptr) return;
    Destination* dest = client->Backlog.front();
    client->Backlog.pop_front();
    dest->InBacklog = false;
    if (dest->Requests.empty() || dest->Socket) continue;
    if (FLibAsyncSocket_Connect(socket, 0, dest->Address, dest->Port, OnInterrupted, dest) != 0)
      return;
    dest->Socket = socket;
    dest->Connected = false;
  }
}

Destination* FindOrCreate(FLibWebClient* client, const FLibWebClientInboxItem& item) {
  auto it = client->Destinations.find(item.Key);
  if (it != client->Destinations.end()) return it->second.get();
  auto dest = std::make_unique<Destination>();
  dest->Client = client;
  dest->Key = item.Key;
  dest->Address = item.Address;
  dest->Port = item.Port;
  FLibHttpReader_Init(&dest->Reader, FLibHttpReaderMode::Client);
  for (FLibWebClientTimerKey* key : {&dest->IdleKey, &dest->RetryKey, &dest->DeadlineKey})
    key->Destination = dest.get();
  Destination* raw = dest.get();
  client->Destinations.emplace(item.Key, std::move(dest));
  return raw;
}

void ClientBeforeWait(FLibModule* module, FLibSocketSet*, FLibSocketSet*, FLibSocketSet*,
                      int32_t*) {
  auto* client = static_cast<FLibWebClient*>(module);
  std::vector<FLibWebClientInboxItem> inbox;
  {
    std::lock_guard lock(client->Lock);
    inbox.swap(client->Inbox);
  }
  for (FLibWebClientInboxItem& item : inbox) {
    if (item.Cancel) {
      auto it = client->Destinations.find(item.Key);
      if (it == client->Destinations.end()) continue;
      Destination* dest = it->second.get();
      FailAll(dest, FLibWebClient_Deleted);
      RemoveDestination(dest);
      continue;
    }
    Destination* dest = FindOrCreate(client, item);
    dest->Requests.push_back(std::move(item.Request));
    Kick(dest);
  }
  AssignSockets(client);
}

void ClientDispose(FLibModule* module) {
  auto* client = static_cast<FLibWebClient*>(module);
  std::vector<FLibWebClientInboxItem> inbox;
  {
    std::lock_guard lock(client->Lock);
    client->Ended = true;
    inbox.swap(client->Inbox);
  }
  for (FLibWebClientInboxItem& item : inbox) {
    if (item.Request && item.Request->OnResponse)
      item.Request->OnResponse(item.Request.get(), FLibWebClient_Aborted, nullptr,
                               item.Request->User1, item.Request->User2);
  }
  for (auto& [key, dest] : client->Destinations) {
    dest->Removing = true;
    FailAll(dest.get(), FLibWebClient_Aborted);
  }
  client->Backlog.clear();
  client->IdleOrder.clear();
  client->Destinations.clear();
}

}  // namespace

std::string FLibWebClient_Key(uint32_t address, uint16_t port) {
  return FLibIpv4ToText(address) + ":" + std::to_string(port);
}

FLibWebClient* FLibWebClient_Create(FLibChain* chain, int poolSize,
                                    const FLibWebClientOptions& options) {
  auto client = std::make_unique<FLibWebClient>();
  client->BeforeWait = ClientBeforeWait;
  client->Dispose = ClientDispose;
  client->Chain = chain;
  client->Options = options;
  client->Timers = FLibTimer_Create(chain);
  for (int i = 0; i < std::max(poolSize, 1); ++i)
    client->Pool.push_back(FLibAsyncSocket_Create(chain, upnp_limits::kWebInitialBufferBytes,
                                                  OnData, OnConnectDone, OnClosed, nullptr));
  return FLibChain_AddModule(chain, std::move(client));
}

int FLibWebClient_Enqueue(FLibWebClient* client, uint32_t address, uint16_t port, const char* head,
                          size_t headLength, int headOwnership, const char* body, size_t bodyLength,
                          int bodyOwnership, FLibWebClient_OnResponse onResponse, void* user1,
                          void* user2) {
  auto request = std::make_unique<FLibWebClientRequest>();
  TakeBuffer(&request->Head, head, headLength, headOwnership);
  TakeBuffer(&request->Body, body, bodyLength, bodyOwnership);
  request->IsHead = headLength >= 5 && std::string_view(head, 5) == "HEAD ";
  request->OnResponse = onResponse;
  request->User1 = user1;
  request->User2 = user2;
  {
    std::lock_guard lock(client->Lock);
    if (client->Ended) return -1;  // the request and its owned buffers are freed here
    FLibWebClientInboxItem item;
    item.Key = FLibWebClient_Key(address, port);
    item.Address = address;
    item.Port = port;
    item.Request = std::move(request);
    client->Inbox.push_back(std::move(item));
  }
  FLibChain_Wake(client->Chain);
  return 0;
}

void FLibWebClient_CancelDestination(FLibWebClient* client, std::string_view key) {
  {
    std::lock_guard lock(client->Lock);
    if (client->Ended) return;
    FLibWebClientInboxItem item;
    item.Cancel = true;
    item.Key = std::string(key);
    client->Inbox.push_back(std::move(item));
  }
  FLibChain_Wake(client->Chain);
}
