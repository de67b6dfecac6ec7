#include "media/vips_support.h"

#include <unistd.h>

#include <mutex>

#include "media/byte_source.h"

namespace media {
namespace {

void DropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

bool Vips_Ensure() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    started = VIPS_INIT("orvex") == 0;
    if (!started) return;
    g_log_set_handler("VIPS",
                      static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE |
                                                  G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG),
                      DropLogMessage, nullptr);
    vips_cache_set_max(0);
  });
  return started;
}

VipsSourcePtr Vips_OpenSource(const std::string& path) {
  if (!Vips_Ensure()) return nullptr;
  int fd = OpenRegularFile(path);
  if (fd < 0) return nullptr;
  // The source works on its own duplicate of the descriptor.
  VipsSourcePtr source(vips_source_new_from_descriptor(fd));
  ::close(fd);
  if (!source) vips_error_clear();
  return source;
}

VipsImagePtr Vips_LoadSequential(const std::string& path) {
  VipsSourcePtr source = Vips_OpenSource(path);
  if (!source) return nullptr;
  VipsImagePtr image(
      vips_image_new_from_source(source.get(), "", "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
  if (!image) vips_error_clear();
  return image;
}

}  // namespace media
