// The pixel size of a picture, read from its header (the content directory chooses a
// JPEG profile and states a resolution with it).
#pragma once

#include <string>

// Sets *width and *height to the picture's size in pixels and returns true; a file that
// cannot be read as a picture gives 0 x 0 and false. Only the header is decoded.
bool ImageSize(const std::string& path, int* width, int* height);
