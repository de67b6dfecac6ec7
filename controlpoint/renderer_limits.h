// Every limit, time-out and fixed text of the renderer control point and its page.
#pragma once

#include <cstddef>
#include <cstdint>

namespace controlpoint::renderer_limits {

// ---- Renderer table ----

// Entries of the renderer table. A renderer that arrives when the table is full is
// refused (and downloaded again at its next announcement, once a place is free).
inline constexpr size_t kMaxRenderers = 100;

// Every text field of a table entry keeps at most this many bytes including the
// terminating zero of fixed-size fields, so values are capped at 179 bytes.
inline constexpr size_t kFieldSize = 180;

// Name given to a renderer whose description has no (or an empty) friendlyName.
inline constexpr const char* kUnknownFriendlyName = "?????????????????";

// ---- Discovery and description download ----

// Only devices whose type starts with this are taken.
inline constexpr const char* kRendererTypePrefix = "urn:schemas-upnp-org:device:MediaRenderer:";

// The search target and its MX.
inline constexpr const char* kRendererSearchTarget = "urn:schemas-upnp-org:device:MediaRenderer:1";
inline constexpr int kSearchMxSeconds = 5;

// Description bodies are read into a buffer of this size. A body that fills it whole is
// taken as a read error: a renderer description is a few kilobytes, and one this large is
// not one we read.
inline constexpr size_t kDescriptionBufferSize = 10240;

// Time-out of the description's HTTP GET, for the connection and for the read.
inline constexpr int kDescriptionTimeoutSeconds = 5;

// The library's limit on the content length of any message it receives.
inline constexpr size_t kMaxContentLength = 160000;

// ---- Renderer page ----

// The page's timer.
inline constexpr int kPageTickMs = 1000;

// A renderer not seen for more than this leaves the list.
inline constexpr int64_t kAgeingSeconds = 60;

// Once the page has been open for more than this, it searches on every tick.
inline constexpr int64_t kResearchAfterSeconds = 600;

// The pause between Stop and Start of the page's refresh button.
inline constexpr uint64_t kRefreshPauseMs = 500;

// The literal between a line's location prefix and the friendly name.
inline constexpr const char* kListLineMiddle = "web/IMedia      ";

// The language key of the page's button text while the page is open.
inline constexpr const char* kCancelTextKey = "Cancel";

}  // namespace controlpoint::renderer_limits
