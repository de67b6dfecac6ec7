#include "media/vips_support.h"

#include <dlfcn.h>
#include <unistd.h>

#include <mutex>

#include "media/byte_source.h"
#include "platform/log.h"

namespace media {
namespace {

void DropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

// The file name of the libvips these headers describe: its ABI number is the soname's.
std::string LibraryName() {
  return "libvips.so." + std::to_string(VIPS_LIBRARY_CURRENT - VIPS_LIBRARY_AGE);
}

template <typename Function>
bool Resolve(void* library, const char* name, Function* out) {
  void* symbol = ::dlsym(library, name);
  if (symbol == nullptr) {
    platform::Logf("pictures: %s has no %s\n", LibraryName().c_str(), name);
    return false;
  }
  *out = reinterpret_cast<Function>(symbol);
  return true;
}

bool ResolveAll(void* lib, VipsApi* api) {
  return Resolve(lib, "vips_init", &api->init) && Resolve(lib, "vips_version", &api->version) &&
         Resolve(lib, "vips_cache_set_max", &api->cache_set_max) &&
         Resolve(lib, "vips_error_clear", &api->error_clear) &&
         Resolve(lib, "vips_source_new_from_descriptor", &api->source_new_from_descriptor) &&
         Resolve(lib, "vips_image_new_from_source", &api->image_new_from_source) &&
         Resolve(lib, "vips_image_get_width", &api->image_get_width) &&
         Resolve(lib, "vips_image_get_height", &api->image_get_height) &&
         Resolve(lib, "vips_image_get_bands", &api->image_get_bands) &&
         Resolve(lib, "vips_image_get_format", &api->image_get_format) &&
         Resolve(lib, "vips_image_get_interpretation", &api->image_get_interpretation) &&
         Resolve(lib, "vips_image_hasalpha", &api->image_hasalpha) &&
         Resolve(lib, "vips_image_write_to_memory", &api->image_write_to_memory) &&
         Resolve(lib, "vips_thumbnail_source", &api->thumbnail_source) &&
         Resolve(lib, "vips_thumbnail_image", &api->thumbnail_image) &&
         Resolve(lib, "vips_flatten", &api->flatten) &&
         Resolve(lib, "vips_colourspace", &api->colourspace) &&
         Resolve(lib, "vips_cast_uchar", &api->cast_uchar) &&
         Resolve(lib, "vips_extract_band", &api->extract_band) &&
         Resolve(lib, "vips_bandjoin", &api->bandjoin) && Resolve(lib, "vips_embed", &api->embed) &&
         Resolve(lib, "vips_thumbnail_buffer", &api->thumbnail_buffer) &&
         Resolve(lib, "vips_image_new_from_memory_copy", &api->image_new_from_memory_copy) &&
         Resolve(lib, "vips_jpegsave_buffer", &api->jpegsave_buffer);
}

// Loads the library, checks that it is the ABI the headers describe (the check VIPS_INIT
// makes) and starts it. The library stays loaded for the life of the process: libvips
// cannot be unloaded once started.
bool Load(VipsApi* api) {
  const std::string name = LibraryName();
  void* lib = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    const char* why = ::dlerror();
    platform::Logf("pictures: cannot load %s: %s\n", name.c_str(), why ? why : "");
    return false;
  }
  if (!ResolveAll(lib, api)) return false;
  if (api->version(3) - api->version(5) != VIPS_LIBRARY_CURRENT - VIPS_LIBRARY_AGE) {
    platform::Logf("pictures: %s has another ABI than this program was built for\n", name.c_str());
    return false;
  }
  if (api->init("orvex") != 0) {
    platform::Logf("pictures: %s could not start\n", name.c_str());
    return false;
  }
  g_log_set_handler("VIPS",
                    static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE |
                                                G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG),
                    DropLogMessage, nullptr);
  api->cache_set_max(0);
  return true;
}

}  // namespace

const VipsApi* Vips_Ensure() {
  static std::once_flag once;
  static VipsApi api{};
  static bool started = false;
  std::call_once(once, [] { started = Load(&api); });
  return started ? &api : nullptr;
}

VipsSourcePtr Vips_OpenSource(const std::string& path) {
  const VipsApi* vips = Vips_Ensure();
  if (vips == nullptr) return nullptr;
  int fd = OpenRegularFile(path);
  if (fd < 0) return nullptr;
  // The source works on its own duplicate of the descriptor.
  VipsSourcePtr source(vips->source_new_from_descriptor(fd));
  ::close(fd);
  if (!source) vips->error_clear();
  return source;
}

VipsImagePtr Vips_LoadSequential(const std::string& path) {
  VipsSourcePtr source = Vips_OpenSource(path);
  if (!source) return nullptr;
  const VipsApi* vips = Vips_Ensure();
  VipsImagePtr image(
      vips->image_new_from_source(source.get(), "", "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
  if (!image) vips->error_clear();
  return image;
}

}  // namespace media
