// Limits and time-outs of the whole-resource HTTP download helpers.
#pragma once

#include <cstddef>
#include <cstdint>

// A body is kept up to this many bytes; the rest is cut without an error.
inline constexpr size_t kFetchMaxBody = 204800;
// Each step of a download (connect, request, response head, one read) must finish
// within this time.
inline constexpr int kFetchTimeoutSeconds = 5;
// The whole body must arrive within this time, so a server that trickles bytes cannot
// hold the caller for long.
inline constexpr uint64_t kFetchBodyDeadlineMs = 30000;
// Bytes asked for by one read of the body.
inline constexpr size_t kFetchReadChunk = 16384;
// Redirects followed before a download is given up as a loop.
inline constexpr int kFetchMaxRedirects = 10;
// The longest URL the redirect helper works with (a longer Location fails the fetch).
inline constexpr size_t kFetchUrlMax = 2048;
// The response head read to find a redirect's Location, at most.
inline constexpr size_t kFetchHeadMax = 16384;
