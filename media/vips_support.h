// libvips set-up shared by the thumbnail maker and the picture size probe: the library
// loaded on first use, owners for its reference-counted objects, and loading from an open
// descriptor (a path handed to libvips by name could be read as a name with "[options]").
//
// libvips and the forty-odd libraries it pulls in (image codecs, HDF5, OpenEXR, FITS...)
// cost several megabytes of resident memory once mapped, and a folder scan never draws a
// picture. They are therefore not linked into the program: the first thumbnail (or a
// picture size that only libvips can read) loads them, and a program that never needs
// them never maps them.
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

// The libvips functions this program calls, resolved from the loaded library. The types
// are the library's own declarations, so a call through the table is checked like a
// direct call.
struct VipsApi {
  decltype(&::vips_init) init;
  decltype(&::vips_version) version;
  decltype(&::vips_cache_set_max) cache_set_max;
  decltype(&::vips_error_clear) error_clear;
  decltype(&::vips_source_new_from_descriptor) source_new_from_descriptor;
  decltype(&::vips_image_new_from_source) image_new_from_source;
  decltype(&::vips_image_get_width) image_get_width;
  decltype(&::vips_image_get_height) image_get_height;
  decltype(&::vips_image_get_bands) image_get_bands;
  decltype(&::vips_image_get_format) image_get_format;
  decltype(&::vips_image_get_interpretation) image_get_interpretation;
  decltype(&::vips_image_hasalpha) image_hasalpha;
  decltype(&::vips_image_write_to_memory) image_write_to_memory;
  decltype(&::vips_thumbnail_source) thumbnail_source;
  decltype(&::vips_thumbnail_image) thumbnail_image;
  decltype(&::vips_flatten) flatten;
  decltype(&::vips_colourspace) colourspace;
  decltype(&::vips_cast_uchar) cast_uchar;
  decltype(&::vips_extract_band) extract_band;
  decltype(&::vips_bandjoin) bandjoin;
  decltype(&::vips_embed) embed;
  decltype(&::vips_thumbnail_buffer) thumbnail_buffer;
  decltype(&::vips_image_new_from_memory_copy) image_new_from_memory_copy;
  decltype(&::vips_jpegsave_buffer) jpegsave_buffer;
};

// Loads and starts libvips once for the process; null when it could not be loaded or
// started (then no picture can be drawn). Its warnings are silenced and its operation
// cache is off, so a picture that changed on disk is never answered from memory.
const VipsApi* Vips_Ensure();

// A source reading the file at `path`; null when it cannot be opened.
VipsSourcePtr Vips_OpenSource(const std::string& path);

// The picture of `path`, header read, pixels decoded on demand in one top-to-bottom pass.
// Null when the file cannot be read as a picture. Clears libvips's error text.
VipsImagePtr Vips_LoadSequential(const std::string& path);

// Runs one libvips operation on `image`: `step(in, &out)` returns 0 and a new image, which
// replaces `image`. False, with `image` unchanged and libvips's error text cleared, when
// the step failed. Only called once a picture is open, so libvips is loaded.
template <typename Step>
bool Vips_Apply(VipsImagePtr* image, Step step) {
  VipsImage* out = nullptr;
  if (step(image->get(), &out) != 0) {
    Vips_Ensure()->error_clear();
    return false;
  }
  image->reset(out);
  return true;
}

}  // namespace media
