// The MediaRenderer control point: discovers the renderers on the network with the UPnP
// library's client side and keeps them in a RendererRegistry for the window's page.
//
// The library is process-wide: one control point at a time can be started; a second
// one's Start fails with UPNP_E_INIT while the first runs. The HTTP fetch helpers work
// only while a control point is started, since it initialises the library.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string_view>

#include "controlpoint/renderer_registry.h"
#include "controlpoint/renderer_source.h"

namespace controlpoint {

class RendererControlPoint : public RendererSource {
 public:
  // `clock` gives the calendar time of the registry (empty: the system clock).
  explicit RendererControlPoint(RendererRegistry::Clock clock = {});
  // Stops the control point if it runs.
  ~RendererControlPoint() override;
  RendererControlPoint(const RendererControlPoint&) = delete;
  RendererControlPoint& operator=(const RendererControlPoint&) = delete;

  // Initialises the library on `hostAddress` (a dotted quad; empty: the first suitable
  // interface) with any port, registers as a client and sends the first search. `mask`
  // (a dotted quad) with `hostAddress` limits the renderers to that subnet. Returns 0
  // (also when already started) or the library's error code; UPNP_E_INVALID_PARAM for
  // an address or mask that is not a dotted quad. A failed start leaves it stopped.
  int Start(std::string_view hostAddress = {}, std::string_view mask = {}) override;

  // Unregisters, shuts the library down and forgets every renderer. Waits for discovery
  // callbacks that are still running (a description download takes at most its
  // time-outs); downloads finishing meanwhile are discarded.
  void Stop() override;

  void Search() override;
  size_t CopyRenderers(std::vector<RendererEntry>* destination) const override;
  bool RemoveRenderer(size_t index) override;
  std::optional<RendererDevice> FindRenderer(const std::string& udn) const;

  bool IsStarted() const { return initialised_.load(std::memory_order_acquire); }

  // The body of the library's client callback (`cookie` is the control point); public
  // only so the callback's exact C signature can stay out of this header.
  static int DispatchLibraryEvent(int eventType, const void* event, void* cookie);

 private:
  void HandleLibraryEvent(int eventType, const void* event);
  // Shuts the library down after a start that got as far as `registered`.
  void TearDownLocked(bool registered);

  RendererRegistry registry_;
  // Callbacks still running; the stop waits for none to be left before it clears the
  // state, whatever the library's shutdown guarantees.
  std::mutex flightMutex_;
  std::condition_variable flightDone_;
  int inFlight_ = 0;
  std::mutex lifecycle_;  // serialises Start, Stop and Search; never held by callbacks
  std::atomic<bool> initialised_{false};
  int clientHandle_ = -1;
};

}  // namespace controlpoint
