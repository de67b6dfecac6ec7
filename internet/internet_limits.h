// Limits, time-outs and fixed values of the internet media subsystem.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- YouTube feeds ----

// A feed title is kept up to this many bytes of UTF-8 (never cut inside a character),
// then up to this many UTF-16 units.
inline constexpr size_t kFeedTitleMaxBytes = 1019;
inline constexpr size_t kFeedTitleMaxUnits = 1000;
// Video ids longer than this are not ids; such entries are skipped.
inline constexpr size_t kVideoIdMax = 64;
// Each feed address (endpoint, path, query and start index) must fit this slot.
inline constexpr size_t kFeedUrlSlot = 512;

// The updater counts ticks of this length and passes when the count exceeds
// kFeedPassTicks, so passes follow each other about an hour apart.
inline constexpr int kFeedTickMs = 1000;
inline constexpr int kFeedPassTicks = 3600;

// Settings that say where the feeds and the watch pages are; a missing or empty row
// selects the default.
inline constexpr const char* kKeyYouTubeFeedEndpoint = "YouTubeFeedEndpoint";
inline constexpr const char* kKeyYouTubeSiteAddress = "YouTubeSiteAddress";
inline constexpr const char* kDefaultYouTubeFeedEndpoint = "http://gdata.youtube.com";
inline constexpr const char* kDefaultYouTubeSiteAddress = "http://www.youtube.com";

// ---- Internet items ----

// A URL must fit the path field of a library record, or clients would be handed a
// shortened address.
inline constexpr size_t kInternetUrlMaxBytes = 779;
// Titles are cut to what a record's name field holds, so that a listed row names its
// item exactly and can be changed or removed.
inline constexpr size_t kInternetTitleMaxBytes = 779;
