// Limits, sizes and time-outs of the seek index cache, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace seek_index {

// Queue. Entries hold a path of at most kQueueEntryField - 1 bytes; longer paths are
// refused, since a cut path would name another file.
inline constexpr size_t kQueueEntryField = 780;
inline constexpr size_t kQueueGrowStep = 100;

// How long the worker sleeps between two looks at an empty queue. The scanner queues a
// path before it writes the file's record, so the worker must not rush to it.
inline constexpr int kWorkerIdleMs = 5000;

// Index files live in this directory of the program directory, under
// "<MyIndex><FileName>" with one of these suffixes.
inline constexpr const char* kCacheDirectory = "cache/";
inline constexpr const char* kIndexSuffix = ".hdx";
inline constexpr const char* kBuildingSuffix = ".tmp";
inline constexpr char kIndexMagic[4] = {'h', 'i', 'd', 'x'};
// An index file of this many bytes or fewer holds no entry and is never kept.
inline constexpr uint64_t kEmptyIndexBytes = 8;

// The head of a media file that decides its layout: two raw CD sectors.
inline constexpr size_t kRawSectorSize = 2352;
inline constexpr size_t kHeadBytes = 2 * kRawSectorSize;
// MPEG program streams are indexed only when they come in packs of this size.
inline constexpr size_t kSectorSize = 2048;

// AVI. The header list is read whole; a larger one is taken to be damage.
inline constexpr uint32_t kMaxAviHeaderListBytes = 1u << 20;
// The AVI index is read in blocks of this many bytes (whole 16-byte entries).
inline constexpr size_t kAviIndexEntryBytes = 16;
inline constexpr size_t kAviIndexBlockBytes = 40960;
// The word of the "avih" data that holds the total frame count.
inline constexpr size_t kAviTotalFramesOffset = 16;
// The header walk ends after this many recognised headers (main, video, audio).
inline constexpr int kAviRecognisedHeaders = 3;

// DVD navigation packs: where the private-stream-2 packet starts and where the fields of
// its presentation and search information sit, counted from the start of the sector.
inline constexpr size_t kNavPacketOffset = 38;
inline constexpr size_t kNavStartPtmOffset = 57;
inline constexpr size_t kNavUnitEndOffset = 1039;
inline constexpr size_t kNavFirstRefEndOffset = 1043;

// MPEG clock and the largest forward step of the time line that is not a discontinuity.
inline constexpr uint64_t kMpegClockHz = 90000;
inline constexpr int64_t kMaxForwardStepSeconds = 60;

// The GOP scan starts this far after the video packet's start code (start code, length
// and the fixed part of the packet header).
inline constexpr size_t kGopScanSkip = 9;

// Index output is gathered and written in blocks of this size.
inline constexpr size_t kWriteBufferBytes = 64 * 1024;

}  // namespace seek_index
