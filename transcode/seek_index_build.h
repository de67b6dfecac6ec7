// The index builders of the seek index cache: from an open media file to the bytes of an
// index file. No library, no file names: the caller opens both files and decides what
// happens to the output.
//
// Index file layout (little-endian 32-bit words): the magic "hidx", then either
//   AVI:  a count, then that many 16-byte entries copied from the file's "idx1" chunk
//         (chunk id, flags, offset, length) for the video frames of stream 0;
//   MPEG: 12-byte entries (start sector, seconds from the start, end sector), one per
//         seek point, sectors being 2048-byte packs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace seek_index {

enum class BuildStatus {
  kOk,       // the output holds an index worth keeping
  kFailed,   // the file cannot be indexed; the output is to be thrown away
  kStopped,  // `stop` was seen; the output is to be thrown away
};

// Writes the index of the media file `mediaFd` (read with pread, never past its end) to
// `outFd`, which must be empty and writable. `extension` is the media path's text from
// its last "." and chooses the method: ".avi" reads the AVI index; ".vob", ".ts", ".m2ts"
// and ".tp" try DVD navigation packs first; every other file (and a DVD file without
// usable navigation packs) is indexed by its GOP headers, by presentation time stamps
// and, failing that, by GOP time codes. `stop` is polled between reads, so a set flag
// ends the build within one read.
BuildStatus BuildIndexFile(int mediaFd, std::string_view extension, int outFd,
                           const std::atomic<bool>& stop);

// True when `head` (the first bytes of a file) shows an MPEG pack header within the first
// raw CD sector and the next one exactly one 2048-byte sector further on.
bool HasSectorPackLayout(const uint8_t* head, size_t size);

}  // namespace seek_index
