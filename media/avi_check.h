// The AVI check: reads the video handler code of an AVI file from its stream headers,
// so that files whose codec the clients cannot play are marked.
#pragma once

#include <cstdint>
#include <string>

#include "media/byte_source.h"

namespace media {

// Flag word bit of an AVI file whose video codec is not one of the DivX family.
inline constexpr uint32_t kWMTagFlagForeignAviCodec = 0x80;

// Finds the handler code (fccHandler of the first "vids" stream header) of the AVI file
// read through `source`. The file must begin with "RIFF", a size, "AVI ", "LIST", a size
// and "hdrl"; the header list is walked chunk by chunk, never past its stated size or
// the data that is there. Returns false when the file is not such an AVI or has no
// video stream header.
bool AviCheck_ReadVideoHandler(ByteSource& source, std::string* handler);

// kWMTagFlagForeignAviCodec when the file has a video stream whose handler code,
// upper-cased, is not DIV3, DIV4, DIV5, DIVX or XVID; otherwise 0.
uint32_t AviCheck_Flags(ByteSource& source);

}  // namespace media
