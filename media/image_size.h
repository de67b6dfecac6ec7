// The pixel size of a picture, read from its header (the content directory chooses a
// JPEG profile and states a resolution with it).
#pragma once

#include <string>

#include "media/byte_source.h"

// Sets *width and *height to the picture's size in pixels and returns true; a file that
// cannot be read as a picture gives 0 x 0 and false. Only the header is decoded.
bool ImageSize(const std::string& path, int* width, int* height);

namespace media {

// Reads the size of an ordinary JPEG or PNG picture from its header without libvips
// (loading libvips costs megabytes of mapped libraries). True with the size only when the
// header is one libvips reads the same way: an 8-bit JPEG of a kind its decoder takes,
// with a frame header and a scan after it, or a PNG with a whole, valid header chunk;
// sides 1 to 65535. False for anything else, which ImageSize then leaves to libvips.
bool ImageSize_ReadHeader(ByteSource& source, int* width, int* height);

}  // namespace media
