#include "upnp/gena.h"

#include <cstdio>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "upnp/escape.h"
#include "upnp/limits.h"
#include "upnp/number.h"
#include "upnp/socket_util.h"

namespace {

constexpr std::string_view kPreconditionFailed =
    "HTTP/1.1 412 Precondition Failed\r\nContent-Length: 0\r\n\r\n";

// One NOTIFY in flight: keeps its subscriber and the eventing state alive until the web
// client reports the outcome.
struct NotifyContext {
  std::shared_ptr<UpnpGena> Gena;
  UpnpLatticeSubscriberPtr Subscriber;
  UpnpGenaService Service;
  std::string DestinationKey;
};

void Send(FLibWebSession* session, std::string_view text) {
  FLibWebServer_SendBytes(session, text.data(), text.size(), FLibOwnership_User, true);
}

bool ServiceOfPath(std::string_view path, UpnpGenaService* service) {
  if (path == kConnectionManagerEventPath) {
    *service = UpnpGenaService::ConnectionManager;
  } else if (path == kContentDirectoryEventPath) {
    *service = UpnpGenaService::ContentDirectory;
  } else {
    return false;
  }
  return true;
}

std::list<UpnpLatticeSubscriberPtr>& ListOf(UpnpGena* gena, UpnpGenaService service) {
  return gena->Subscribers[static_cast<int>(service)];
}

std::string NewSid() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string sid = "uuid:";
  for (int group : {8, 4, 4, 4, 12}) {
    if (sid.size() > 5) sid += '-';
    for (int i = 0; i < group; ++i) sid += kHex[FLibRandom() & 15];
  }
  return sid;
}

constexpr std::string_view kPropertyJoin = "></e:property><e:property><";

std::string Property(std::string_view name, std::string_view value) {
  return std::string(name) + ">" + std::string(value) + "</" + std::string(name);
}

std::string PropertySet(const std::string& properties) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><e:propertyset "
         "xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property><" +
         properties + "></e:property></e:propertyset>";
}

// Every evented variable of a service, for a subscriber's first event. Under the lock.
std::string InitialProperties(UpnpGena* gena, UpnpGenaService service) {
  const std::string join(kPropertyJoin);
  if (service == UpnpGenaService::ContentDirectory)
    return Property("ContainerUpdateIDs", gena->ContainerUpdateIDs) + join +
           Property("SystemUpdateID", gena->SystemUpdateID);
  return Property("SourceProtocolInfo", gena->SourceProtocolInfo) + join +
         Property("SinkProtocolInfo", gena->SinkProtocolInfo) + join +
         Property("CurrentConnectionIDs", gena->CurrentConnectionIDs);
}

void Unlink(UpnpGena* gena, UpnpGenaService service, const UpnpLatticeSubscriber* subscriber) {
  ListOf(gena, service).remove_if([subscriber](const UpnpLatticeSubscriberPtr& s) {
    return s.get() == subscriber;
  });
}

void OnNotifyTimeout(void* data) {
  auto* context = static_cast<NotifyContext*>(data);
  platform::Logf("GENA: NOTIFY to %s timed out\n", context->DestinationKey.c_str());
  // Completes every request of that destination, this one included, as failed.
  FLibWebClient_CancelDestination(context->Gena->Client, context->DestinationKey);
}

void OnNotifyDone(FLibWebClientRequest*, int code, FLibHttpPacket* response, void* user1, void*) {
  std::unique_ptr<NotifyContext> context(static_cast<NotifyContext*>(user1));
  UpnpGena* gena = context->Gena.get();
  FLibTimer_Cancel(gena->Timers, context.get());
  if (code == FLibWebClient_Ok && response != nullptr) return;
  std::lock_guard lock(gena->Lock);
  if (context->Subscriber->Dropped) return;
  context->Subscriber->Dropped = true;
  Unlink(gena, context->Service, context->Subscriber.get());
}

// Queues one NOTIFY to one subscriber. Under the lock.
void NotifyLocked(UpnpGena* gena, UpnpGenaService service, const UpnpLatticeSubscriberPtr& s,
                  const std::string& body) {
  if (gena->Ended) return;
  char head[1024];
  int length = std::snprintf(
      head, sizeof head,
      "NOTIFY %s HTTP/1.1\r\nSERVER: WINDOWS, UPnP/1.0, Ferrule Lattice/1.0.1922\r\nHOST: "
      "%s:%u\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nNT: upnp:event\r\nNTS: "
      "upnp:propchange\r\nSID: %s\r\nSEQ: %u\r\nContent-Length: %zu\r\n\r\n",
      s->Path.c_str(), FLibIpv4ToText(s->Address).c_str(), static_cast<unsigned>(s->Port),
      s->Sid.c_str(), s->Seq, body.size());
  if (length < 0 || static_cast<size_t>(length) >= sizeof head) return;
  auto context = std::make_unique<NotifyContext>();
  context->Gena = gena->shared_from_this();
  context->Subscriber = s;
  context->Service = service;
  context->DestinationKey = FLibWebClient_Key(s->Address, s->Port);
  NotifyContext* raw = context.get();
  if (FLibWebClient_Enqueue(gena->Client, s->Address, s->Port, head, static_cast<size_t>(length),
                            FLibOwnership_User, body.data(), body.size(), FLibOwnership_User,
                            OnNotifyDone, raw, nullptr) != 0)
    return;           // the client has ended; the context goes with this scope
  context.release();  // OnNotifyDone owns it now
  FLibTimer_Add(gena->Timers, raw, upnp_limits::kGenaNotifyTimeoutMs, OnNotifyTimeout, nullptr);
  // Sequence numbers wrap to 1: 0 belongs to the initial event alone.
  s->Seq = s->Seq == UINT32_MAX ? 1 : s->Seq + 1;
}

// A new subscriber's first event, sent after a short delay.
struct InitialEvent {
  std::shared_ptr<UpnpGena> Gena;
  UpnpLatticeSubscriberPtr Subscriber;
  UpnpGenaService Service;
};

void FreeInitialEvent(void* data) {
  std::unique_ptr<InitialEvent>(static_cast<InitialEvent*>(data));
}

void SendInitialEvent(void* data) {
  std::unique_ptr<InitialEvent> event(static_cast<InitialEvent*>(data));
  UpnpGena* gena = event->Gena.get();
  std::lock_guard lock(gena->Lock);
  event->Subscriber->InitialPending = false;
  if (event->Subscriber->Dropped) return;
  NotifyLocked(gena, event->Service, event->Subscriber,
               PropertySet(InitialProperties(gena, event->Service)));
}

// Sends one event carrying `properties` ("Name>value</Name", several joined by
// kPropertyJoin) to every live subscriber of the service. Under the lock.
void NotifyAllLocked(UpnpGena* gena, UpnpGenaService service, const std::string& properties) {
  std::string body = PropertySet(properties);
  uint64_t now = gena->NowSeconds();
  // A copy: a NOTIFY that fails at once may unlink its subscriber.
  std::list<UpnpLatticeSubscriberPtr> live = ListOf(gena, service);
  for (const UpnpLatticeSubscriberPtr& s : live) {
    // A subscriber still waiting for its first event gets the new value with it.
    if (!s->Dropped && !s->InitialPending && s->ExpiresAt > now)
      NotifyLocked(gena, service, s, body);
  }
}

void Publish(UpnpGena* gena, UpnpGenaService service, std::string* slot, std::string_view name,
             std::string value) {
  std::lock_guard lock(gena->Lock);
  *slot = std::move(value);
  NotifyAllLocked(gena, service, Property(name, *slot));
}

void AnswerSubscribed(FLibWebSession* session, const std::string& sid, int64_t timeout) {
  char text[256];
  int length = std::snprintf(text, sizeof text,
                             "HTTP/1.1 200 OK\r\nSERVER: WINDOWS, UPnP/1.0, Ferrule "
                             "Lattice/1.0.1922\r\nSID: %s\r\nTIMEOUT: Second-%lld\r\n"
                             "Content-Length: 0\r\n\r\n",
                             sid.c_str(), static_cast<long long>(timeout));
  if (length > 0 && static_cast<size_t>(length) < sizeof text)
    Send(session, std::string_view(text, static_cast<size_t>(length)));
}

void Renew(UpnpGena* gena, FLibWebSession* session, const FLibHttpPacket& request,
           const std::string& sid, int32_t timeout) {
  UpnpGenaService service;
  bool found = false;
  if (ServiceOfPath(request.Target, &service)) {
    std::lock_guard lock(gena->Lock);
    for (const UpnpLatticeSubscriberPtr& s : ListOf(gena, service)) {
      if (s->Sid != sid) continue;
      s->ExpiresAt = gena->NowSeconds() + static_cast<uint64_t>(std::max<int32_t>(timeout, 0));
      found = true;
      break;
    }
  }
  if (found) {
    AnswerSubscribed(session, sid, timeout);
  } else {
    Send(session, kPreconditionFailed);
  }
}

}  // namespace

std::shared_ptr<UpnpGena> UpnpGena_Create(FLibWebClient* client, FLibTimer* timers) {
  auto gena = std::make_shared<UpnpGena>();
  gena->Client = client;
  gena->Timers = timers;
  gena->NowSeconds = [] { return platform::TickCountMs() / 1000; };
  return gena;
}

int32_t UpnpGena_ParseTimeout(const std::optional<std::string>& header) {
  int32_t timeout = upnp_limits::kGenaDefaultTimeoutSeconds;
  if (!header) return timeout;
  size_t dash = header->find('-');
  if (dash == std::string::npos || header->find('-', dash + 1) != std::string::npos) return timeout;
  std::string_view seconds = std::string_view(*header).substr(dash + 1);
  if (platform::AsciiEqualsNoCase(seconds, "INFINITE")) return timeout;
  int32_t parsed = 0;
  if (FLibText_ToLong(seconds, &parsed) != 0) return timeout;
  return parsed;
}

bool UpnpGena_ParseCallback(std::string_view value, uint32_t* address, uint16_t* port,
                            std::string* path) {
  size_t scheme = value.find("://");
  if (scheme == std::string_view::npos || value.empty()) return false;
  size_t hostStart = scheme + 3;
  size_t slash = value.find('/', hostStart);
  size_t hostEnd = slash == std::string_view::npos ? value.size() : slash;
  std::string_view host = value.substr(hostStart, hostEnd - hostStart);
  // Without a path the host part runs to the end, closing ">" included.
  if (slash == std::string_view::npos && !host.empty() && host.back() == '>') host.remove_suffix(1);
  uint32_t portValue = 80;
  size_t colon = host.find(':');
  if (colon != std::string_view::npos) {
    if (FLibText_ToULong(host.substr(colon + 1), &portValue) != 0 || portValue == 0 ||
        portValue > 65535)
      return false;
    host = host.substr(0, colon);
  }
  if (!FLibIpv4FromText(host, address)) return false;
  *port = static_cast<uint16_t>(portValue);
  std::string_view rest;
  if (slash != std::string_view::npos && value.size() - slash > 1)
    rest = value.substr(slash, value.size() - slash - 1);
  *path = rest.empty() ? "/" : FLibUrl_Escape(rest);
  return true;
}

void UpnpGena_Subscribe(UpnpGena* gena, FLibWebSession* session, const FLibHttpPacket& request,
                        uint32_t peerAddress, uint32_t localAddress, uint32_t arrivalNetmask) {
  std::optional<std::string> sid = FLibHttp_HeaderValue(request, "SID");
  std::optional<std::string> callback = FLibHttp_HeaderValue(request, "Callback");
  int32_t timeout = UpnpGena_ParseTimeout(FLibHttp_HeaderValue(request, "Timeout"));
  if (sid) {
    Renew(gena, session, request, *sid, timeout);
    return;
  }
  if (timeout > upnp_limits::kGenaMaxTimeoutSeconds) timeout = upnp_limits::kGenaMaxTimeoutSeconds;
  UpnpGenaService service;
  if (!ServiceOfPath(request.Target, &service)) {
    Send(session, "HTTP/1.1 412 Invalid Service Name\r\nContent-Length: 0\r\n\r\n");
    return;
  }
  auto subscriber = std::make_shared<UpnpLatticeSubscriber>();
  bool usable =
      callback && callback->size() <= upnp_limits::kGenaMaxCallbackBytes &&
      UpnpGena_ParseCallback(*callback, &subscriber->Address, &subscriber->Port, &subscriber->Path);
  if (usable && subscriber->Address != peerAddress &&
      (subscriber->Address & arrivalNetmask) != (localAddress & arrivalNetmask))
    usable = false;
  std::unique_lock lock(gena->Lock);
  uint64_t now = gena->NowSeconds();
  std::list<UpnpLatticeSubscriberPtr>& list = ListOf(gena, service);
  list.remove_if([now](const UpnpLatticeSubscriberPtr& s) {
    if (s->ExpiresAt > now) return false;
    s->Dropped = true;
    return true;
  });
  if (list.size() >= upnp_limits::kGenaMaxSubscribers) {
    lock.unlock();
    Send(session, "HTTP/1.1 412 Too Many Subscribers\r\nContent-Length: 0\r\n\r\n");
    return;
  }
  if (!usable) {
    lock.unlock();
    Send(session, kPreconditionFailed);
    return;
  }
  subscriber->Sid = NewSid();
  subscriber->ExpiresAt = now + static_cast<uint64_t>(std::max<int32_t>(timeout, 0));
  list.push_front(subscriber);
  subscriber->InitialPending = true;
  AnswerSubscribed(session, subscriber->Sid, timeout);
  // The first event waits a moment: a control point that reads the answer to its
  // SUBSCRIBE on one connection while the NOTIFY arrives on another may not know the SID
  // yet, and such a control point accepts that NOTIFY and then throws it away.
  auto initial = std::make_unique<InitialEvent>();
  initial->Gena = gena->shared_from_this();
  initial->Subscriber = subscriber;
  initial->Service = service;
  FLibTimer_Add(gena->Timers, initial.release(), upnp_limits::kGenaInitialEventDelayMs,
                SendInitialEvent, FreeInitialEvent);
}

void UpnpGena_Unsubscribe(UpnpGena* gena, FLibWebSession* session, const FLibHttpPacket& request) {
  std::optional<std::string> sid = FLibHttp_HeaderValue(request, "SID");
  UpnpGenaService service;
  bool found = false;
  if (sid && ServiceOfPath(request.Target, &service)) {
    std::lock_guard lock(gena->Lock);
    for (const UpnpLatticeSubscriberPtr& s : ListOf(gena, service)) {
      if (s->Sid != *sid) continue;
      s->Dropped = true;
      Unlink(gena, service, s.get());
      found = true;
      break;
    }
  }
  Send(session, found ? "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
                      : "HTTP/1.1 412 Invalid SID\r\nContent-Length: 0\r\n\r\n");
}

void UpnpGena_End(UpnpGena* gena) {
  std::lock_guard lock(gena->Lock);
  gena->Ended = true;
  for (auto& list : gena->Subscribers) {
    for (const UpnpLatticeSubscriberPtr& s : list) s->Dropped = true;
    list.clear();
  }
}

size_t UpnpGena_Count(UpnpGena* gena, UpnpGenaService service) {
  std::lock_guard lock(gena->Lock);
  return ListOf(gena, service).size();
}

void UpnpGena_PublishSystemUpdateID(UpnpGena* gena, uint32_t value) {
  Publish(gena, UpnpGenaService::ContentDirectory, &gena->SystemUpdateID, "SystemUpdateID",
          std::to_string(value));
}

void UpnpGena_PublishContentDirectoryChange(UpnpGena* gena, uint32_t systemUpdateId,
                                            std::optional<std::string_view> containerUpdateIds) {
  std::lock_guard lock(gena->Lock);
  gena->SystemUpdateID = std::to_string(systemUpdateId);
  gena->ContainerUpdateIDs = containerUpdateIds ? FLibXml_Escape(*containerUpdateIds) : "";
  std::string properties = Property("SystemUpdateID", gena->SystemUpdateID);
  if (containerUpdateIds)
    properties = Property("ContainerUpdateIDs", gena->ContainerUpdateIDs) +
                 std::string(kPropertyJoin) + properties;
  NotifyAllLocked(gena, UpnpGenaService::ContentDirectory, properties);
}

void UpnpGena_KeepSystemUpdateID(UpnpGena* gena, uint32_t value) {
  std::lock_guard lock(gena->Lock);
  gena->SystemUpdateID = std::to_string(value);
}

void UpnpGena_PublishContainerUpdateIDs(UpnpGena* gena, std::string_view text) {
  Publish(gena, UpnpGenaService::ContentDirectory, &gena->ContainerUpdateIDs, "ContainerUpdateIDs",
          FLibXml_Escape(text));
}

void UpnpGena_PublishSourceProtocolInfo(UpnpGena* gena, std::string_view text) {
  Publish(gena, UpnpGenaService::ConnectionManager, &gena->SourceProtocolInfo, "SourceProtocolInfo",
          FLibXml_Escape(text));
}

void UpnpGena_PublishSinkProtocolInfo(UpnpGena* gena, std::string_view text) {
  Publish(gena, UpnpGenaService::ConnectionManager, &gena->SinkProtocolInfo, "SinkProtocolInfo",
          FLibXml_Escape(text));
}

void UpnpGena_PublishCurrentConnectionIDs(UpnpGena* gena, std::string_view text) {
  Publish(gena, UpnpGenaService::ConnectionManager, &gena->CurrentConnectionIDs,
          "CurrentConnectionIDs", FLibXml_Escape(text));
}
