// The web client: sends HTTP requests to other hosts and delivers their responses. One
// queue and at most one connection per destination (IPv4 address and port), connections
// from a fixed pool, kept alive between requests, retried after 1, 2, 4 and 8 seconds
// when a connect fails. Requests may be queued from any thread; connections, responses
// and every callback are handled on the chain thread.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "upnp/async_socket.h"
#include "upnp/http_reader.h"
#include "upnp/limits.h"
#include "upnp/timer.h"

struct FLibWebClient;
struct FLibWebClientRequest;
struct FLibWebClientDestination;

// Completion codes.
inline constexpr int FLibWebClient_Ok = 0;       // `response` holds the whole response
inline constexpr int FLibWebClient_Failed = -1;  // no usable response; `response` is null
inline constexpr int FLibWebClient_Aborted = 5;  // the client ended (the chain stopped)
inline constexpr int FLibWebClient_Deleted = 6;  // FLibWebClient_CancelDestination

// Called exactly once per queued request, on the chain thread. The response packet (with
// its whole body) is valid during the call only.
using FLibWebClient_OnResponse = void (*)(FLibWebClientRequest* request, int code,
                                          FLibHttpPacket* response, void* user1, void* user2);

struct FLibWebClientOptions {
  uint32_t IdleMs = upnp_limits::kWebClientIdleMs;
  uint32_t RetryUnitMs = upnp_limits::kWebClientRetryUnitMs;
  uint32_t ResponseDeadlineMs = upnp_limits::kWebClientResponseDeadlineMs;
  bool KeepIdleConnections = false;  // true: no idle close
};

// A buffer of a request, kept until the response has arrived so that a request whose
// connection was lost before any answer can be sent again.
struct FLibWebClientBuffer {
  const char* Static = nullptr;
  std::unique_ptr<char, decltype(&std::free)> Owned{nullptr, &std::free};
  std::string Copy;
  size_t Length = 0;
  const char* Bytes() const;
};

struct FLibWebClientRequest {
  FLibWebClientBuffer Head;
  FLibWebClientBuffer Body;
  bool IsHead = false;
  int Resends = 0;
  FLibWebClient_OnResponse OnResponse = nullptr;
  void* User1 = nullptr;
  void* User2 = nullptr;
};

struct FLibWebClientTimerKey {
  FLibWebClientDestination* Destination = nullptr;
};

// Chain-thread state of one destination.
struct FLibWebClientDestination {
  FLibWebClient* Client = nullptr;
  std::string Key;  // "%s:%d"
  uint32_t Address = 0;
  uint16_t Port = 0;
  std::deque<std::unique_ptr<FLibWebClientRequest>> Requests;
  FLibAsyncSocket* Socket = nullptr;
  int ReuseState = 0;      // 0 unknown, 1 the peer keeps connections, 2 it closes each time
  uint32_t RetryStep = 0;  // 0, or 1, 2, 4, 8
  FLibHttpReader Reader;
  bool Connected = false;
  bool InFlight = false;         // the front request has been sent
  bool ResponseStarted = false;  // a byte of its response has arrived
  bool InBacklog = false;
  bool RetryWaiting = false;
  bool Idle = false;
  bool Removing = false;
  FLibWebClientTimerKey IdleKey, RetryKey, DeadlineKey;
};

struct FLibWebClientInboxItem {
  bool Cancel = false;
  std::string Key;
  uint32_t Address = 0;
  uint16_t Port = 0;
  std::unique_ptr<FLibWebClientRequest> Request;
};

struct FLibWebClient : FLibModule {
  FLibChain* Chain = nullptr;
  FLibTimer* Timers = nullptr;
  FLibWebClientOptions Options;
  std::vector<FLibAsyncSocket*> Pool;
  // Chain thread only:
  std::unordered_map<std::string, std::unique_ptr<FLibWebClientDestination>> Destinations;
  std::deque<FLibWebClientDestination*> Backlog;
  std::list<FLibWebClientDestination*> IdleOrder;  // oldest first
  // Requests and cancels from any thread, taken over by the chain thread each turn.
  std::mutex Lock;
  std::vector<FLibWebClientInboxItem> Inbox;
  bool Ended = false;  // under Lock
};

// A client with `poolSize` connections (the device uses 5).
FLibWebClient* FLibWebClient_Create(FLibChain* chain, int poolSize,
                                    const FLibWebClientOptions& options = {});

// Queues a request (head and body, each with an ownership code of FLibOwnership) to
// address:port. Returns 0; or -1 when the client has ended, in which case the callback
// is never called. Any thread.
int FLibWebClient_Enqueue(FLibWebClient* client, uint32_t address, uint16_t port, const char* head,
                          size_t headLength, int headOwnership, const char* body, size_t bodyLength,
                          int bodyOwnership, FLibWebClient_OnResponse onResponse, void* user1,
                          void* user2);

// Completes every queued request of the destination "a.b.c.d:port" with code 6 and
// forgets the destination. Any thread; the callbacks run on the chain thread.
void FLibWebClient_CancelDestination(FLibWebClient* client, std::string_view key);

// The table key of a destination: "%s:%d".
std::string FLibWebClient_Key(uint32_t address, uint16_t port);
