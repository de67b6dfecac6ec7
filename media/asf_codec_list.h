// The codec list of an ASF (Windows Media) file, read from its header object. FFmpeg
// does not expose this list, and its descriptions are what mark professional-profile
// WMV3 video.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/byte_source.h"

namespace media {

// Flag word bit of a ".wmv" file whose WMV3 video is described as "Professional".
inline constexpr uint32_t kWMTagFlagProfessionalWmv = 0x100;

// Codec entry types of the list.
inline constexpr uint16_t kAsfCodecTypeVideo = 1;
inline constexpr uint16_t kAsfCodecTypeAudio = 2;

struct AsfCodecEntry {
  uint16_t type = 0;
  std::string name;         // UTF-8, terminating zeros removed
  std::string description;  // UTF-8, terminating zeros removed
};

// Parses the body of a Codec List Object (what follows its GUID and size). Entries are
// taken while they fit in `size`; false when not even the entry count is there or an
// entry runs past the end (the entries before it are kept).
bool AsfCodecList_Parse(const uint8_t* body, size_t size, std::vector<AsfCodecEntry>* entries);

// Finds the Codec List Object inside the header object at the start of the file and
// parses it. False when the file does not begin with an ASF header object or has no
// codec list.
bool AsfCodecList_Read(ByteSource& source, std::vector<AsfCodecEntry>* entries);

// kWMTagFlagProfessionalWmv when the list has a video entry named "WMV3" whose
// description is "Professional" (both without regard to case); otherwise 0.
uint32_t AsfCodecList_Flags(const std::vector<AsfCodecEntry>& entries);

}  // namespace media
