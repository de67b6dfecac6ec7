// GENA eventing of the device: the subscribers of each service, SUBSCRIBE, renewal and
// UNSUBSCRIBE, and the NOTIFY messages that carry each new value of an evented state
// variable to every live subscriber.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "upnp/http_packet.h"
#include "upnp/timer.h"
#include "upnp/web_client.h"
#include "upnp/web_server.h"

inline constexpr std::string_view kConnectionManagerEventPath = "/ConnectionManager/event";
inline constexpr std::string_view kContentDirectoryEventPath = "/ContentDirectory/event";

struct UpnpLatticeSubscriber {
  std::string Sid;
  uint32_t Seq = 0;  // the event key of the next NOTIFY
  uint32_t Address = 0;
  uint16_t Port = 0;
  std::string Path;  // URL-escaped
  bool Dropped = false;
  bool InitialPending = false;  // the first event, with every variable, has not gone out
  uint64_t ExpiresAt = 0;       // seconds of the tick count
};

// One list per service. Subscribers are shared: the list holds one reference and every
// NOTIFY in flight another, so a subscriber dropped meanwhile lives until its last
// NOTIFY has completed.
using UpnpLatticeSubscriberPtr = std::shared_ptr<UpnpLatticeSubscriber>;

enum class UpnpGenaService { ConnectionManager = 0, ContentDirectory = 1 };

struct UpnpGena : std::enable_shared_from_this<UpnpGena> {
  FLibWebClient* Client = nullptr;
  FLibTimer* Timers = nullptr;
  std::function<uint64_t()> NowSeconds;  // the tick count in seconds; tests replace it

  std::mutex Lock;  // guards everything below
  std::list<UpnpLatticeSubscriberPtr> Subscribers[2];
  // The last value of each evented variable, XML-ready.
  std::string SystemUpdateID = "0";
  std::string ContainerUpdateIDs;
  std::string SourceProtocolInfo;
  std::string SinkProtocolInfo;
  std::string CurrentConnectionIDs;
  bool Ended = false;  // no more NOTIFYs once the device goes away
};

std::shared_ptr<UpnpGena> UpnpGena_Create(FLibWebClient* client, FLibTimer* timers);

// Answers a complete SUBSCRIBE. `arrivalNetmask` is the netmask of the local interface
// the request came in on: a callback must name the subscriber's own address or one in
// that subnet, so that nobody can aim our NOTIFYs at a third host.
void UpnpGena_Subscribe(UpnpGena* gena, FLibWebSession* session, const FLibHttpPacket& request,
                        uint32_t peerAddress, uint32_t localAddress, uint32_t arrivalNetmask);
// Answers a complete UNSUBSCRIBE.
void UpnpGena_Unsubscribe(UpnpGena* gena, FLibWebSession* session, const FLibHttpPacket& request);

// Frees every subscriber without notice; later publications send nothing.
void UpnpGena_End(UpnpGena* gena);

// The number of subscribers of a service (live or expired). For tests and diagnostics.
size_t UpnpGena_Count(UpnpGena* gena, UpnpGenaService service);

// The setters of the evented variables. Any thread.
void UpnpGena_PublishSystemUpdateID(UpnpGena* gena, uint32_t value);
void UpnpGena_PublishContainerUpdateIDs(UpnpGena* gena, std::string_view text);
// One event of a library change: ContainerUpdateIDs (when given) and SystemUpdateID in one
// NOTIFY, so that a subscriber learns which containers changed together with the counter
// they changed at. Without a list, SystemUpdateID alone goes out (the stored
// ContainerUpdateIDs becomes empty): a subscriber then refreshes all it holds.
void UpnpGena_PublishContentDirectoryChange(UpnpGena* gena, uint32_t systemUpdateId,
                                            std::optional<std::string_view> containerUpdateIds);
// Keeps a newer SystemUpdateID for the first event of later subscribers, without sending
// it: the event to the present subscribers follows when moderation allows.
void UpnpGena_KeepSystemUpdateID(UpnpGena* gena, uint32_t value);
void UpnpGena_PublishSourceProtocolInfo(UpnpGena* gena, std::string_view text);
void UpnpGena_PublishSinkProtocolInfo(UpnpGena* gena, std::string_view text);
void UpnpGena_PublishCurrentConnectionIDs(UpnpGena* gena, std::string_view text);

// The pieces of a SUBSCRIBE, for tests and fuzzing.
// The requested time-out in seconds ("Second-1800" -> 1800; anything else -> 300).
int32_t UpnpGena_ParseTimeout(const std::optional<std::string>& header);
// Splits a Callback value "<http://a.b.c.d:port/path>". False when it has no "://", the
// host is not a dotted IPv4 address or the port is not 1..65535.
bool UpnpGena_ParseCallback(std::string_view value, uint32_t* address, uint16_t* port,
                            std::string* path);
