#include "transcode/seek_index_build.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/log.h"
#include "platform/text.h"
#include "transcode/seek_index_limits.h"

namespace seek_index {
namespace {

using Sector = std::array<uint8_t, kSectorSize>;

constexpr size_t kNotFound = std::numeric_limits<size_t>::max();
// Bytes of the magic at the start of every index file.
constexpr uint64_t kMagicBytes = sizeof kIndexMagic;

// ---- Byte access. Every reader checks its bounds first. ----

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool FourCc(const uint8_t* p, const char* code) { return std::memcmp(p, code, 4) == 0; }

// True when the MPEG start code 00 00 01 `code` begins at `pos` and fits in `size`.
bool StartCodeAt(const uint8_t* data, size_t size, size_t pos, uint8_t code) {
  return pos <= size && size - pos >= 4 && data[pos] == 0 && data[pos + 1] == 0 &&
         data[pos + 2] == 1 && data[pos + 3] == code;
}

// The first position at or after `from` where 00 00 01 `code` begins, or kNotFound.
size_t FindStartCode(const uint8_t* data, size_t size, size_t from, uint8_t code) {
  for (size_t pos = from; pos < size && size - pos >= 4; ++pos) {
    if (StartCodeAt(data, size, pos, code)) return pos;
  }
  return kNotFound;
}

constexpr uint8_t kPictureCode = 0x00;
constexpr uint8_t kPackCode = 0xBA;
constexpr uint8_t kSystemHeaderCode = 0xBB;
constexpr uint8_t kPrivateStream2Code = 0xBF;
constexpr uint8_t kVideoStreamCode = 0xE0;
constexpr uint8_t kGopCode = 0xB8;

// ---- Files. ----

// Reads a regular file at absolute offsets; short counts only at its end or on error.
class MediaReader {
 public:
  explicit MediaReader(int fd) : fd_(fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size >= 0) size_ = static_cast<uint64_t>(st.st_size);
  }

  uint64_t Size() const { return size_; }
  uint64_t SectorCount() const { return size_ / kSectorSize + (size_ % kSectorSize != 0); }

  size_t ReadAt(uint64_t offset, uint8_t* out, size_t count) const {
    size_t done = 0;
    while (done < count) {
      if (offset + done > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) break;
      ssize_t n = ::pread(fd_, out + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }

  size_t ReadSector(uint64_t sector, Sector& out) const {
    return ReadAt(sector * kSectorSize, out.data(), out.size());
  }

 private:
  int fd_;
  uint64_t size_ = 0;
};

// Appends to the index file through a buffer. A failed write is remembered and makes the
// build fail, so a full disk never leaves a short index that looks finished.
class IndexWriter {
 public:
  explicit IndexWriter(int fd) : fd_(fd) { buffer_.reserve(kWriteBufferBytes); }

  void Append(const void* data, size_t count) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    buffer_.insert(buffer_.end(), bytes, bytes + count);
    if (buffer_.size() >= kWriteBufferBytes) Flush();
  }

  void AppendU32(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    Append(bytes, sizeof bytes);
  }

  bool PatchU32(uint64_t offset, uint32_t value) {
    if (!Flush()) return false;
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return WriteAt(offset, bytes, sizeof bytes);
  }

  // Drops everything after `offset`, so a second method never leaves entries of the
  // first one behind its own.
  bool Rewind(uint64_t offset) {
    if (!Flush()) return false;
    if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0) ok_ = false;
    flushed_ = offset;
    return ok_;
  }

  bool Flush() {
    if (ok_ && !buffer_.empty()) {
      if (WriteAt(flushed_, buffer_.data(), buffer_.size())) flushed_ += buffer_.size();
    }
    buffer_.clear();
    return ok_;
  }

  uint64_t Size() const { return flushed_ + buffer_.size(); }

 private:
  bool WriteAt(uint64_t offset, const uint8_t* data, size_t count) {
    size_t done = 0;
    while (ok_ && done < count) {
      ssize_t n = ::pwrite(fd_, data + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok_ = false;
      if (n > 0) done += static_cast<size_t>(n);
    }
    return ok_;
  }

  int fd_;
  std::vector<uint8_t> buffer_;
  uint64_t flushed_ = 0;
  bool ok_ = true;
};

bool Stopped(const std::atomic<bool>& stop) { return stop.load(std::memory_order_acquire); }

// ---- Time line. ----

// Turns stream times into seek times that start at 0 and never go back. A unit with the
// same second as the last one gets no entry; a jump backwards or of more than a minute
// forwards (a new recording spliced on) continues one second after the last entry.
class TimeLine {
 public:
  // False when this time gets no entry; else *written is the seek time to store.
  bool Next(int64_t t, uint32_t* written) {
    if (!started_) {
      started_ = true;
      base_ = last_ = t;
    } else if (t == last_) {
      return false;
    } else if (t > last_ && t - last_ <= kMaxForwardStepSeconds) {
      last_ = t;
    } else {
      base_ = t - (last_ - base_) - 1;
      last_ = t;
    }
    int64_t value = t - base_;
    *written = value < 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(value, UINT32_MAX));
    return true;
  }

 private:
  bool started_ = false;
  int64_t base_ = 0;
  int64_t last_ = 0;
};

int64_t ClockToSeconds(uint64_t ticks) {
  return static_cast<int64_t>((ticks + kMpegClockHz / 2) / kMpegClockHz);
}

uint32_t SectorNumber(uint64_t sector) {
  return static_cast<uint32_t>(std::min<uint64_t>(sector, UINT32_MAX));
}

// ---- MPEG packs. ----

// Offset of the first packet after the pack header and an optional system header, or
// kNotFound when `sector` does not begin with a pack header of MPEG-1 or MPEG-2.
size_t FirstPacketOffset(const uint8_t* sector, size_t size) {
  if (!StartCodeAt(sector, size, 0, kPackCode) || size < 14) return kNotFound;
  size_t pos;
  if ((sector[4] & 0xC0) == 0x40) {
    pos = 14 + (sector[13] & 0x07);  // MPEG-2: stuffing length in the last byte
  } else if ((sector[4] & 0xF0) == 0x20) {
    pos = 12;  // MPEG-1
  } else {
    return kNotFound;
  }
  if (StartCodeAt(sector, size, pos, kSystemHeaderCode) && size - pos >= 6) {
    pos += 6 + Be16(sector + pos + 4);
  }
  return pos;
}

// Offset of the video packet that opens the pack, or kNotFound.
size_t VideoPacketOffset(const uint8_t* sector, size_t size) {
  size_t pos = FirstPacketOffset(sector, size);
  if (pos == kNotFound || !StartCodeAt(sector, size, pos, kVideoStreamCode)) return kNotFound;
  return pos;
}

bool IsNavigationPack(const Sector& sector) {
  return StartCodeAt(sector.data(), sector.size(), 0, kPackCode) &&
         StartCodeAt(sector.data(), sector.size(), kNavPacketOffset, kPrivateStream2Code);
}

// The 33-bit presentation time stamp of the MPEG-2 packet at `pos`, when it has one.
bool PacketPts(const uint8_t* sector, size_t size, size_t pos, uint64_t* pts) {
  if (pos > size || size - pos < 14) return false;
  const uint8_t* p = sector + pos;
  if ((p[6] & 0xC0) != 0x80 || (p[7] & 0x80) == 0) return false;
  auto byte = [p](size_t i) { return static_cast<uint64_t>(p[i]); };
  *pts = ((byte(9) >> 1) & 0x07) << 30 | byte(10) << 22 | (byte(11) >> 1) << 15 | byte(12) << 7 |
         byte(13) >> 1;
  return true;
}

// Hours, minutes and seconds of the time code of the GOP header at `pos`, in seconds.
bool GopTimeCode(const uint8_t* sector, size_t size, size_t pos, int64_t* seconds) {
  if (pos > size || size - pos < 8) return false;
  uint32_t code = Be32(sector + pos + 4);
  *seconds = int64_t{(code >> 26) & 0x1F} * 3600 + int64_t{(code >> 20) & 0x3F} * 60 +
             int64_t{(code >> 13) & 0x3F};
  return true;
}

// ---- AVI. ----

// Walks the chunks of the "hdrl" list (stepping into its nested lists) for the main
// header and the stream headers. Returns the main header's total frame count, 0 when
// there is no main header.
uint32_t AviTotalFrames(const uint8_t* list, size_t size) {
  uint32_t frames = 0;
  int recognised = 0;
  size_t pos = 4;  // after the list type
  while (recognised < kAviRecognisedHeaders && pos <= size && size - pos >= 8) {
    const uint8_t* chunk = list + pos;
    uint32_t chunkSize = Le32(chunk + 4);
    size_t body = pos + 8;
    size_t available = size - body;
    if (FourCc(chunk, "LIST")) {
      if (chunkSize < 4 || available < 4) break;
      pos = body + 4;
      continue;
    }
    if (chunkSize > available) break;
    if (FourCc(chunk, "avih") && chunkSize >= kAviTotalFramesOffset + 4) {
      frames = Le32(chunk + 8 + kAviTotalFramesOffset);
      ++recognised;
    } else if (FourCc(chunk, "strh") && chunkSize >= 4 &&
               (FourCc(chunk + 8, "vids") || FourCc(chunk + 8, "auds"))) {
      ++recognised;
    }
    pos = body + chunkSize + (chunkSize & 1);
  }
  return frames;
}

BuildStatus BuildAviBody(const MediaReader& in, IndexWriter& out, const std::atomic<bool>& stop) {
  uint8_t riff[24];
  if (in.ReadAt(0, riff, sizeof riff) != sizeof riff) return BuildStatus::kFailed;
  if (!FourCc(riff, "RIFF") || !FourCc(riff + 8, "AVI ") || !FourCc(riff + 12, "LIST") ||
      !FourCc(riff + 20, "hdrl")) {
    return BuildStatus::kFailed;
  }
  uint32_t listSize = Le32(riff + 16);
  if (listSize < 4 || listSize > kMaxAviHeaderListBytes) return BuildStatus::kFailed;
  std::vector<uint8_t> list(listSize);
  if (in.ReadAt(20, list.data(), list.size()) != list.size()) return BuildStatus::kFailed;
  if (AviTotalFrames(list.data(), list.size()) == 0) return BuildStatus::kFailed;

  // The top-level chunks after the header list, up to the index.
  uint64_t pos = 20 + uint64_t{listSize} + (listSize & 1);
  uint8_t header[8];
  for (;;) {
    if (Stopped(stop)) return BuildStatus::kStopped;
    if (in.ReadAt(pos, header, sizeof header) != sizeof header) return BuildStatus::kFailed;
    if (FourCc(header, "idx1")) break;
    uint32_t chunkSize = Le32(header + 4);
    pos += 8 + uint64_t{chunkSize} + (chunkSize & 1);
  }

  const uint64_t countOffset = out.Size();
  out.AppendU32(0);
  uint32_t count = 0;
  uint64_t remaining = Le32(header + 4) / kAviIndexEntryBytes * kAviIndexEntryBytes;
  uint64_t offset = pos + 8;
  std::vector<uint8_t> block(kAviIndexBlockBytes);
  while (remaining > 0) {
    if (Stopped(stop)) return BuildStatus::kStopped;
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(remaining, block.size()));
    size_t got = in.ReadAt(offset, block.data(), wanted);
    // A cut file keeps the whole entries that it still holds.
    for (size_t e = 0; e + kAviIndexEntryBytes <= got; e += kAviIndexEntryBytes) {
      const uint8_t* entry = block.data() + e;
      if (FourCc(entry, "00dc") || FourCc(entry, "00db")) {
        out.Append(entry, kAviIndexEntryBytes);
        ++count;
      }
    }
    if (got < wanted) break;
    offset += wanted;
    remaining -= wanted;
  }
  return out.PatchU32(countOffset, count) ? BuildStatus::kOk : BuildStatus::kFailed;
}

// ---- DVD navigation packs. ----

void AppendMpegEntry(IndexWriter& out, uint64_t start, uint32_t time, uint64_t end) {
  out.AppendU32(SectorNumber(start));
  out.AppendU32(time);
  out.AppendU32(SectorNumber(end));
}

// True for a video pack that holds a GOP header. Met before any navigation pack, it shows
// a program stream without navigation, which is indexed by its GOP headers instead.
bool IsVideoPackWithGop(const Sector& sector) {
  size_t pos = VideoPacketOffset(sector.data(), sector.size());
  return pos != kNotFound &&
         FindStartCode(sector.data(), sector.size(), pos + 4, kGopCode) != kNotFound;
}

// Follows the chain of navigation packs: each one names the last sector of its unit, and
// the next unit opens with the next navigation pack. A sector off that chain means the
// file is not what its navigation says, and the navigation index fails.
BuildStatus BuildDvdBody(const MediaReader& in, IndexWriter& out, const std::atomic<bool>& stop) {
  const uint64_t sectors = in.SectorCount();
  TimeLine timeLine;
  bool seenNavigation = false;
  Sector sector;
  for (uint64_t s = 0; s < sectors;) {
    if (Stopped(stop)) return BuildStatus::kStopped;
    if (in.ReadSector(s, sector) != sector.size()) return BuildStatus::kFailed;
    if (!IsNavigationPack(sector)) {
      if (seenNavigation || IsVideoPackWithGop(sector)) return BuildStatus::kFailed;
      ++s;
      continue;
    }
    seenNavigation = true;
    uint32_t startPtm = Be32(sector.data() + kNavStartPtmOffset);
    uint32_t unitEnd = Be32(sector.data() + kNavUnitEndOffset);
    uint32_t firstRefEnd = Be32(sector.data() + kNavFirstRefEndOffset);
    uint32_t time = 0;
    if (timeLine.Next(ClockToSeconds(startPtm), &time)) {
      AppendMpegEntry(out, s, time, s + firstRefEnd);
    }
    s += uint64_t{unitEnd} + 1;
  }
  return BuildStatus::kOk;
}

// ---- GOP headers. ----

enum class GopMode { kPresentationTime, kTimeCode };

// Indexes every GOP header that opens a video pack. An entry ends in the sector where the
// next picture or GOP header is found after it.
BuildStatus BuildGopBody(const MediaReader& in, IndexWriter& out, GopMode mode,
                         const std::atomic<bool>& stop) {
  const uint64_t sectors = in.SectorCount();
  TimeLine timeLine;
  bool entryOpen = false;
  bool firstGop = true;
  Sector sector;
  for (uint64_t s = 0; s < sectors; ++s) {
    if (Stopped(stop)) return BuildStatus::kStopped;
    size_t size = in.ReadSector(s, sector);
    if (size == 0) break;
    const uint8_t* data = sector.data();
    size_t packet = VideoPacketOffset(data, size);
    if (packet == kNotFound) continue;

    size_t gop = kNotFound;
    bool closedByPicture = false;
    for (size_t pos = packet + kGopScanSkip; pos < size && size - pos >= 4; ++pos) {
      if (StartCodeAt(data, size, pos, kGopCode)) {
        gop = pos;
        break;
      }
      if (entryOpen && StartCodeAt(data, size, pos, kPictureCode)) {
        closedByPicture = true;
        break;
      }
    }
    if (closedByPicture || (gop != kNotFound && entryOpen)) {
      out.AppendU32(SectorNumber(s));
      entryOpen = false;
    }
    if (gop == kNotFound) continue;

    int64_t seconds = 0;
    bool timed = false;
    if (mode == GopMode::kPresentationTime) {
      uint64_t pts = 0;
      if (PacketPts(data, size, packet, &pts)) {
        seconds = ClockToSeconds(pts);
        timed = true;
      } else if (firstGop) {
        mode = GopMode::kTimeCode;
      } else {
        return BuildStatus::kFailed;
      }
    }
    if (mode == GopMode::kTimeCode) timed = GopTimeCode(data, size, gop, &seconds);
    firstGop = false;
    // A time code cut off by the end of the pack gives this GOP no entry.
    uint32_t time = 0;
    if (!timed || !timeLine.Next(seconds, &time)) continue;
    out.AppendU32(SectorNumber(s));
    out.AppendU32(time);
    entryOpen = true;
  }
  if (entryOpen) out.AppendU32(SectorNumber(sectors));
  return BuildStatus::kOk;
}

bool IsDvdExtension(std::string_view extension) {
  for (const char* dvd : {".vob", ".ts", ".m2ts", ".tp"}) {
    if (platform::AsciiEqualsNoCase(extension, dvd)) return true;
  }
  return false;
}

bool HasEntries(BuildStatus status, const IndexWriter& out) {
  return status == BuildStatus::kOk && out.Size() > kMagicBytes;
}

BuildStatus BuildMpegBody(const MediaReader& in, std::string_view extension, IndexWriter& out,
                          const std::atomic<bool>& stop) {
  BuildStatus status = BuildStatus::kFailed;
  if (IsDvdExtension(extension)) {
    status = BuildDvdBody(in, out, stop);
    if (status == BuildStatus::kStopped || HasEntries(status, out)) return status;
  }
  for (GopMode mode : {GopMode::kPresentationTime, GopMode::kTimeCode}) {
    if (!out.Rewind(kMagicBytes)) return BuildStatus::kFailed;
    status = BuildGopBody(in, out, mode, stop);
    if (status == BuildStatus::kStopped || HasEntries(status, out)) return status;
  }
  return BuildStatus::kFailed;
}

}  // namespace

bool HasSectorPackLayout(const uint8_t* head, size_t size) {
  size_t first = FindStartCode(head, std::min(size, kRawSectorSize + 3), 0, kPackCode);
  if (first == kNotFound) return false;
  size_t next = FindStartCode(head, size, first + kSectorSize, kPackCode);
  if (next == first + kSectorSize) return true;
  // Raw 2352-byte sectors (and anything else) are not indexed; the positions help to
  // tell which it was.
  platform::Logf("\n\noffset:%d, next;%d\n", static_cast<int>(first),
                 next == kNotFound ? -1 : static_cast<int>(next));
  return false;
}

BuildStatus BuildIndexFile(int mediaFd, std::string_view extension, int outFd,
                           const std::atomic<bool>& stop) {
  MediaReader in(mediaFd);
  std::array<uint8_t, kHeadBytes> head{};
  size_t headSize = in.ReadAt(0, head.data(), head.size());
  bool avi = platform::AsciiEqualsNoCase(extension, ".avi");
  if (!avi && !HasSectorPackLayout(head.data(), headSize)) return BuildStatus::kFailed;

  IndexWriter out(outFd);
  out.Append(kIndexMagic, sizeof kIndexMagic);
  BuildStatus status = avi ? BuildAviBody(in, out, stop) : BuildMpegBody(in, extension, out, stop);
  if (status != BuildStatus::kOk) return status;
  if (!out.Flush() || out.Size() <= kEmptyIndexBytes) return BuildStatus::kFailed;
  return BuildStatus::kOk;
}

}  // namespace seek_index
