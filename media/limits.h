// Every limit and time-out of the metadata and thumbnail code, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace media_limits {

// ---- Types ----

// Extensions take part in the type lookups up to this many bytes; longer ones find no row.
inline constexpr size_t kExtensionLookupMax = 29;

// ---- Tags ----

// Field size of the title, album, author and genre texts, as the library record keeps
// them: a tag is cut to at most one byte less, never inside a UTF-8 sequence.
inline constexpr size_t kTagTextFieldSize = 1024;

// Field size of the duration, bit rate and track texts.
inline constexpr size_t kTagShortTextFieldSize = 128;

// FFmpeg reads at most this much of a file while it looks for the streams, and at most
// this much media time (microseconds). Enough for every container's header; a hostile
// file cannot make a scan read gigabytes.
inline constexpr int64_t kProbeSizeBytes = 5 * 1024 * 1024;
inline constexpr int64_t kProbeAnalyzeDurationUs = 5 * 1000 * 1000;

// ---- Container headers read by our own parsers ----

// Largest AVI header list ("hdrl") that is read. Real ones are a few kilobytes; the
// limit keeps a forged size from making us allocate.
inline constexpr uint32_t kAviHeaderListMaxBytes = 1024 * 1024;

// Chunks looked at while the AVI header list is walked.
inline constexpr int kAviMaxChunks = 256;

// Largest ASF codec list object that is read, and most entries taken from it.
inline constexpr uint64_t kAsfCodecListMaxBytes = 1024 * 1024;
inline constexpr uint32_t kAsfMaxCodecEntries = 1024;

// Header objects walked inside the ASF header object.
inline constexpr uint32_t kAsfMaxHeaderObjects = 1024;

// ---- Picture headers read without libvips ----

// JPEG segments walked before the frame header and the scan that follows it; files with
// more are left to libvips.
inline constexpr int kJpegMaxSegments = 1024;

// Largest side answered from a header; larger pictures are left to libvips, whose own
// limits then apply.
inline constexpr int kHeaderMaxSide = 65535;

// ---- Thumbnails ----

// Largest side of a thumbnail. A client asking a 30000-pixel picture at full size
// would otherwise make the server hold and write a bitmap of gigabytes.
inline constexpr int kThumbnailMaxSide = 4096;

// Thumbnails remembered as drawn (a few hundred bytes each); past this the memory is
// started afresh, which costs only a redraw of the thumbnails asked for again.
inline constexpr size_t kThumbnailsRemembered = 4096;

// Picture sizes remembered as measured (about two hundred bytes each); past this the
// memory is started afresh, which costs only a header read of the pictures asked again.
inline constexpr size_t kImageSizesRemembered = 8192;

// How long the external JPEG 2000 scaler may run before it is stopped, and how long it
// gets to exit after SIGTERM before SIGKILL.
inline constexpr uint64_t kScalerTimeoutMs = 30 * 1000;
inline constexpr uint64_t kProcessKillGraceMs = 2 * 1000;

// Interval at which a waiting caller looks whether its child process has ended.
inline constexpr uint64_t kProcessPollMs = 5;

// Resolution written when the source picture states none: 96 dots per inch.
inline constexpr int32_t kDefaultPixelsPerMetre = 3780;

// ---- Album art ----

// Largest side of album art: the DLNA JPEG_TN profile allows 160 x 160.
inline constexpr int kAlbumArtSide = 160;

// Largest embedded picture that is decoded; real covers are well under a megabyte, and a
// forged tag cannot make the server hold more.
inline constexpr size_t kAlbumArtMaxEmbeddedBytes = 16 * 1024 * 1024;

// Largest video frame turned into album art (pixels); larger ones are left without it.
inline constexpr int64_t kAlbumArtMaxFramePixels = 8192LL * 8192LL;

// Packets read while looking for the first decodable frame after the seek; a video that
// yields none within them gets no album art.
inline constexpr int kAlbumArtMaxPackets = 2000;

// JPEG quality of album art.
inline constexpr int kAlbumArtJpegQuality = 85;

}  // namespace media_limits
