// libvips set-up shared by the thumbnail maker and the picture size probe: one
// thread-safe initialisation, owners for its reference-counted objects, and loading from
// an open descriptor (a path handed to libvips by name could be read as a name with
// "[options]").
#pragma once

#include <vips/vips.h>

#include <memory>
#include <string>

namespace media {

struct GObjectUnref {
  void operator()(void* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
using VipsImagePtr = std::unique_ptr<VipsImage, GObjectUnref>;
using VipsSourcePtr = std::unique_ptr<VipsSource, GObjectUnref>;

// Starts libvips once for the process; false when it could not be started (then no
// picture can be loaded). Its warnings are silenced and its operation cache is off, so a
// picture that changed on disk is never answered from memory.
bool Vips_Ensure();

// A source reading the file at `path`; null when it cannot be opened.
VipsSourcePtr Vips_OpenSource(const std::string& path);

// The picture of `path`, header read, pixels decoded on demand in one top-to-bottom pass.
// Null when the file cannot be read as a picture. Clears libvips's error text.
VipsImagePtr Vips_LoadSequential(const std::string& path);

}  // namespace media
