#include "media/image_size.h"

#include "media/vips_support.h"

bool ImageSize(const std::string& path, int* width, int* height) {
  *width = 0;
  *height = 0;
  media::VipsImagePtr image = media::Vips_LoadSequential(path);
  if (!image) return false;
  *width = vips_image_get_width(image.get());
  *height = vips_image_get_height(image.get());
  return true;
}
