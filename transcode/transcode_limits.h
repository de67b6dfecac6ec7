// Sizes, names and time limits of the encoder sessions and the shared-memory protocol
// between the server and the encoder program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace transcode_limits {

// The shared area: a 36-byte header followed by the ring. The header fields are
// little-endian 32-bit words at these offsets.
inline constexpr uint32_t kRingSize = 0xA00000;  // 10 MiB
inline constexpr size_t kHeaderSize = 36;
inline constexpr size_t kAreaSize = kHeaderSize + kRingSize;
inline constexpr size_t kMutexNameField = 20;  // ASCII, zero-terminated
inline constexpr size_t kRingSizeOffset = 20;
inline constexpr size_t kStateOffset = 24;
inline constexpr size_t kReadOffsetOffset = 28;
inline constexpr size_t kWriteOffsetOffset = 32;

// Values of the state word.
inline constexpr uint32_t kStateEncoding = 0;
inline constexpr uint32_t kStateStopRequested = 1;
inline constexpr uint32_t kStateStopped = 2;

// Slots 000 to 900 are used in turn.
inline constexpr int kMaxSlot = 900;
inline constexpr const char* kAreaNameFormat = "_tarnwick_trans_%03d";
inline constexpr const char* kMutexNameFormat = "_tarnwick_mutex_%03d";
// Names given to the encoder or read from a header are refused beyond this length.
inline constexpr size_t kSharedNameMax = 50;

// The encoder's file name in the program directory.
inline constexpr const char* kEncoderFileName = "ZerazU.eng";
// The formed command line must fit this many bytes; a longer one is refused rather
// than cut, since a cut line would lose the source's closing quote.
inline constexpr size_t kCommandLineMax = 1024;

// Server side waits. The mutex is waited for in slices, so the encoder's end is noticed
// between them; an empty ring is looked at again after the poll interval.
inline constexpr int kMutexWaitMs = 10;
inline constexpr int kDataPollMs = 100;
inline constexpr int kReadAttempts = 10;
// A read that finds no data for this long while the encoder lives ends the stream, so a
// hung encoder cannot hold the reading thread for ever.
inline constexpr int kIdleReadLimitMs = 60000;
// The encoder must acknowledge a stop request within this time or it is terminated.
inline constexpr int kStopAckLimitMs = 5000;
// How often the stop handshake looks at the state word.
inline constexpr int kStopPollMs = 10;
// After an acknowledged stop the encoder is given this long to exit before SIGTERM, and
// SIGTERM this long before SIGKILL.
inline constexpr int kEncoderExitGraceMs = 1000;

// Encoder program side.
// Bytes taken from the converter's output at a time.
inline constexpr size_t kEncoderCopyChunk = 65536;
// Longest wait for converter output before the state word and the parent are checked.
inline constexpr int kEncoderPollMs = 100;
// Wait between looks at a full ring.
inline constexpr int kEncoderFullRingPollMs = 20;
// How long the converter is given to end after SIGTERM.
inline constexpr int kConverterGraceMs = 1000;

}  // namespace transcode_limits
