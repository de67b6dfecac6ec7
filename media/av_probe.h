// What FFmpeg reports of a media file: duration, bit rate and the container's own tags.
// Used for the numbers of every format and for the tags of containers TagLib does not
// know (AVI, Matroska, MPEG).
#pragma once

#include <cstdint>
#include <string>

namespace media {

struct AvProbeResult {
  int64_t durationUs = 0;  // 0 when unknown
  int64_t bitRate = 0;     // bits per second; 0 when unknown
  // UTF-8; empty when the container has no such tag.
  std::string title;
  std::string album;
  std::string artist;
  std::string genre;
  std::string track;
  std::string date;  // as tagged: a year, or a date that begins with one
};

// Opens `path` with FFmpeg (local files only: no protocol but "file" is allowed, so a
// playlist-like file cannot make us fetch anything) and fills `result`. False, with an
// empty result, when FFmpeg cannot be loaded, cannot open the file or finds no audio or
// video stream in it. Safe to call from any thread; FFmpeg's own log output is silenced.
// `audioPropertiesKnown` says TagLib has read the file's length and bit rate: for audio
// FFmpeg then reads only the header, and the numbers it cannot tell from there stay 0.
bool AvProbe_Read(const std::string& path, AvProbeResult* result,
                  bool audioPropertiesKnown = false);

// AvProbe_Read in this process, whatever AvProbe_UseChild said.
bool AvProbe_ReadHere(const std::string& path, AvProbeResult* result, bool audioPropertiesKnown);

// The first argument that makes the program the probing child (AvProbe_ServeChild).
inline constexpr const char* kMediaProbeFlag = "--probe-media";

// From now on AvProbe_Read runs FFmpeg in a child, `program --probe-media`, started by the
// first probe and ended by AvProbe_EndIdleChild: FFmpeg and the libraries it pulls in
// (about 20 MiB) then never stay resident in this process, and a file that crashes or
// hangs a demuxer costs its own numbers and tags instead of the server. When the child
// cannot be started the probe runs here. An empty `program` probes here again.
void AvProbe_UseChild(const std::string& program);

// Ends the child once no probe has used it for `idleMs` (0: now, unless a probe runs).
void AvProbe_EndIdleChild(uint64_t idleMs);

// The child's main: answers the probes asked on its standard input, one after another,
// on its standard output, until the input ends.
int AvProbe_ServeChild();

// Text from a tag of unknown encoding: kept when it is valid UTF-8, otherwise taken as
// ISO 8859-1 (the encoding 8-bit tags are defined in) and converted.
std::string TagTextToUtf8(std::string_view text);

}  // namespace media
