#include "controlpoint/renderer_control_point.h"

#include <upnp.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "controlpoint/renderer_limits.h"
#include "controlpoint/renderer_text.h"
#include "controlpoint/upnp_http_get.h"
#include "platform/log.h"

namespace controlpoint {
namespace {

namespace limits = renderer_limits;

// The library keeps one process-wide state; this marks which control point owns it.
std::atomic<bool> g_libraryInUse{false};

int LibraryCallback(Upnp_EventType eventType, const void* event, void* cookie) {
  return RendererControlPoint::DispatchLibraryEvent(static_cast<int>(eventType), event, cookie);
}

std::string Text(const char* text) { return text == nullptr ? std::string() : std::string(text); }

// The authority of an "http://" URL ("host:port"), which is the request's Host header;
// nothing when there is none or it holds bytes that do not belong in a header.
std::optional<std::string> HostHeader(const std::string& url) {
  constexpr std::string_view kPrefix = "http://";
  if (url.size() <= kPrefix.size()) return std::nullopt;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPrefix[i]) return std::nullopt;
  }
  size_t end = url.find('/', kPrefix.size());
  std::string host =
      url.substr(kPrefix.size(), end == std::string::npos ? end : end - kPrefix.size());
  if (host.empty()) return std::nullopt;
  for (unsigned char c : host) {
    if (c <= 0x20 || c == 0x7f || c == '@') return std::nullopt;
  }
  return host;
}

// Downloads a description with the library's HTTP client: at most the buffer's size is
// read, so a body that fills it is recognisable as too large.
DescriptionFetch FetchDescription(const std::string& url) {
  DescriptionFetch result;
  std::optional<std::string> host = HostHeader(url);
  if (!host) {
    result.status = DescriptionFetch::Status::kOpenFailed;
    result.errorCode = UPNP_E_INVALID_URL;
    return result;
  }
  UpnpHttpGet request;
  int httpStatus = 0;
  int rc = request.Open(url, "HOST: " + *host + "\r\nCONNECTION: close\r\n",
                        limits::kDescriptionTimeoutSeconds, &httpStatus);
  if (rc != UPNP_E_SUCCESS) {
    result.status = DescriptionFetch::Status::kOpenFailed;
    result.errorCode = rc;
    return result;
  }
  // An error page is not a description, whatever its body holds.
  if (httpStatus < 200 || httpStatus > 299) {
    result.status = DescriptionFetch::Status::kOpenFailed;
    result.errorCode = httpStatus;
    return result;
  }
  result.body.resize(limits::kDescriptionBufferSize);
  size_t filled = 0;
  while (filled < result.body.size()) {
    size_t size = result.body.size() - filled;
    rc = request.Read(result.body.data() + filled, &size, limits::kDescriptionTimeoutSeconds);
    if (rc != UPNP_E_SUCCESS) {
      result.status = DescriptionFetch::Status::kReadFailed;
      result.errorCode = rc;
      break;
    }
    if (size == 0) break;
    filled += std::min(size, result.body.size() - filled);
  }
  result.body.resize(filled);
  return result;
}

// Parses an optional dotted quad; empty text is 0, bad text nothing.
std::optional<uint32_t> OptionalQuad(std::string_view text) {
  if (text.empty()) return 0u;
  return ParseDottedQuad(text);
}

}  // namespace

RendererControlPoint::RendererControlPoint(RendererRegistry::Clock clock)
    : registry_(std::move(clock)) {}

RendererControlPoint::~RendererControlPoint() { Stop(); }

int RendererControlPoint::Start(std::string_view hostAddress, std::string_view mask) {
  std::lock_guard life(lifecycle_);
  if (initialised_.load(std::memory_order_acquire)) return 0;
  std::optional<uint32_t> local = OptionalQuad(hostAddress);
  std::optional<uint32_t> maskValue = OptionalQuad(mask);
  if (!local || !maskValue) {
    platform::Logf("UpnpInit() Error: %d\n", UPNP_E_INVALID_PARAM);
    return UPNP_E_INVALID_PARAM;
  }
  if (g_libraryInUse.exchange(true, std::memory_order_acq_rel)) {
    platform::Logf("UpnpInit() Error: %d\n", UPNP_E_INIT);
    return UPNP_E_INIT;
  }
  // The filter is in place before the first answer can arrive.
  registry_.Open(*local, *maskValue);

  std::string host(hostAddress);
  int rc = UpnpInit(host.empty() ? nullptr : host.c_str(), 0);
  if (rc != UPNP_E_SUCCESS) {
    platform::Logf("UpnpInit() Error: %d\n", rc);
    // UPNP_E_INIT means someone else in this process holds the library: leave it be.
    if (rc != UPNP_E_INIT) UpnpFinish();
    registry_.BeginStop();
    registry_.FinishStop();
    g_libraryInUse.store(false, std::memory_order_release);
    return rc;
  }
  UpnpSetMaxContentLength(limits::kMaxContentLength);
  rc = UpnpRegisterClient(LibraryCallback, this, &clientHandle_);
  if (rc != UPNP_E_SUCCESS) {
    platform::Logf("UpnpRegisterClient() Error: %d\n", rc);
    TearDownLocked(false);
    return rc;
  }
  initialised_.store(true, std::memory_order_release);
  rc =
      UpnpSearchAsync(clientHandle_, limits::kSearchMxSeconds, limits::kRendererSearchTarget, this);
  if (rc != UPNP_E_SUCCESS) {
    platform::Logf("Error searching Server: %d\n", rc);
    TearDownLocked(true);
    return rc;
  }
  return 0;
}

void RendererControlPoint::Stop() {
  std::lock_guard life(lifecycle_);
  if (!initialised_.load(std::memory_order_acquire)) return;
  TearDownLocked(true);
}

void RendererControlPoint::TearDownLocked(bool registered) {
  // Callbacks see the stop first and discard what they finish; the library's shutdown
  // then waits for its threads, so none runs once the state is cleared.
  registry_.BeginStop();
  if (registered) UpnpUnRegisterClient(clientHandle_);
  UpnpFinish();
  {
    std::unique_lock lock(flightMutex_);
    flightDone_.wait(lock, [this] { return inFlight_ == 0; });
  }
  clientHandle_ = -1;
  registry_.FinishStop();
  initialised_.store(false, std::memory_order_release);
  g_libraryInUse.store(false, std::memory_order_release);
}

void RendererControlPoint::Search() {
  std::lock_guard life(lifecycle_);
  if (!initialised_.load(std::memory_order_acquire) || registry_.Stopping()) return;
  int rc =
      UpnpSearchAsync(clientHandle_, limits::kSearchMxSeconds, limits::kRendererSearchTarget, this);
  if (rc != UPNP_E_SUCCESS) platform::Logf("Error searching Server: %d\n", rc);
}

size_t RendererControlPoint::CopyRenderers(std::vector<RendererEntry>* destination) const {
  return registry_.CopyRenderers(destination);
}

bool RendererControlPoint::RemoveRenderer(size_t index) { return registry_.RemoveRenderer(index); }

std::optional<RendererDevice> RendererControlPoint::FindRenderer(const std::string& udn) const {
  return registry_.FindRenderer(udn);
}

int RendererControlPoint::DispatchLibraryEvent(int eventType, const void* event, void* cookie) {
  auto* self = static_cast<RendererControlPoint*>(cookie);
  if (self == nullptr) return 0;
  {
    std::lock_guard lock(self->flightMutex_);
    ++self->inFlight_;
  }
  self->HandleLibraryEvent(eventType, event);
  // Notified under the lock: once the stop sees no callback left, this one no longer
  // touches the control point.
  std::lock_guard lock(self->flightMutex_);
  if (--self->inFlight_ == 0) self->flightDone_.notify_all();
  return 0;
}

void RendererControlPoint::HandleLibraryEvent(int eventType, const void* event) {
  if (registry_.Stopping()) return;
  switch (static_cast<Upnp_EventType>(eventType)) {
    case UPNP_DISCOVERY_ADVERTISEMENT_ALIVE:
    case UPNP_DISCOVERY_SEARCH_RESULT: {
      const auto* discovery = static_cast<const UpnpDiscovery*>(event);
      if (discovery == nullptr) return;
      RendererDiscovery message;
      message.errorCode = UpnpDiscovery_get_ErrCode(discovery);
      message.deviceId = Text(UpnpDiscovery_get_DeviceID_cstr(discovery));
      message.deviceType = Text(UpnpDiscovery_get_DeviceType_cstr(discovery));
      message.location = Text(UpnpDiscovery_get_Location_cstr(discovery));
      message.os = Text(UpnpDiscovery_get_Os_cstr(discovery));
      registry_.HandleDiscovery(message, FetchDescription);
      break;
    }
    case UPNP_DISCOVERY_ADVERTISEMENT_BYEBYE:
      break;
    case UPNP_DISCOVERY_SEARCH_TIMEOUT:
      platform::Log("Device Search Timeout\n");
      break;
    case UPNP_EVENT_SUBSCRIPTION_REQUEST:
      platform::Log("#CP: Subscription is requested!\n");
      break;
    case UPNP_EVENT_RECEIVED:
      platform::Log("#CP: Event Received!\n");
      break;
    default:
      platform::Logf("#CP: Unknown event type: %d\n", eventType);
      break;
  }
}

}  // namespace controlpoint
