// Windows bitmap output: 24 bits per pixel, bottom-up rows padded to four bytes, with a
// BITMAPINFOHEADER, as every client that asks for ".bmp" or ".tb" thumbnails reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace media {

// Encodes `width` x `height` pixels given as top-down rows of R, G, B bytes (no padding)
// with the resolution in pixels per metre. Empty when the sizes are not positive, the
// pixel buffer is too short, or the file would exceed 4 GiB.
std::vector<uint8_t> Bmp_Encode24(int width, int height, const uint8_t* rgb, size_t rgbSize,
                                  int32_t xPixelsPerMetre, int32_t yPixelsPerMetre);

// Writes `data` to `path` through a temporary name beside it and renames it into place,
// so a reader never sees half a file. False (nothing left behind) on any failure.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& data);

}  // namespace media
