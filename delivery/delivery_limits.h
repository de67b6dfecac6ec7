// Every limit, size and time-out of media delivery, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

// Resource URLs and the local file provider.
inline constexpr size_t kRpMaxBaseDirectories = 255;
// The local path buffer of the web handler: a resolved path must be shorter.
inline constexpr size_t kRpLocalPathBuffer = 780;
// Thumbnail box of the ".tb" names.
inline constexpr int kRpThumbnailBox = 150;
// Largest width or height accepted from "?width=&height=" of a ".bm" request.
inline constexpr int kRpMaxThumbnailSide = 4096;

// Transfers.
// A Range header set with more ranges than this is answered with the whole file, so a
// client cannot make one request cost many passes over a file.
inline constexpr size_t kTransferMaxRanges = 32;
// The length announced for the ranges of an encoder stream, whose real length is unknown.
inline constexpr int64_t kTransferEncoderLength = 0x100000;
// Read buffer of a transfer when the caller asks for none.
inline constexpr size_t kTransferDefaultBuffer = 4096;
// Largest read buffer a caller may ask for.
inline constexpr size_t kTransferMaxBuffer = 1 << 20;

// Pre-cache window.
inline constexpr size_t kPreCacheWindowBytes = 0x400000;     // 4 MiB
inline constexpr int64_t kPreCacheMinFileBytes = 0x1000000;  // 16 MiB
inline constexpr size_t kPreCacheMinReadBytes = 4096;
inline constexpr size_t kPreCacheMinWindowFill = 32768;  // a window this short is dropped
inline constexpr size_t kPreCacheMaxSlots = 1024;
