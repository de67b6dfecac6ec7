#include "media/ffmpeg_support.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "platform/log.h"

namespace media {
namespace {

// A library as these headers describe it: its file name carries the major version, and
// within one major version the structures this program reads keep their layout.
struct Library {
  std::string name;
  unsigned major;
  const char* versionFunction;
};

void* Open(const Library& library) {
  void* handle = ::dlopen(library.name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    platform::Logf("metadata: cannot load %s: %s\n", library.name.c_str(), why ? why : "");
    return nullptr;
  }
  auto version = reinterpret_cast<unsigned (*)()>(::dlsym(handle, library.versionFunction));
  if (version == nullptr || (version() >> 16) != library.major) {
    platform::Logf("metadata: %s is not the version this program was built for\n",
                   library.name.c_str());
    return nullptr;
  }
  return handle;
}

template <typename Function>
bool Resolve(void* library, const char* name, Function* out) {
  void* symbol = ::dlsym(library, name);
  if (symbol == nullptr) {
    platform::Logf("metadata: FFmpeg has no %s\n", name);
    return false;
  }
  *out = reinterpret_cast<Function>(symbol);
  return true;
}

// The libraries stay loaded for the life of the process: FFmpeg keeps global state (its
// registered formats, the log callback) that outlives any one call.
bool Load(FfmpegApi* api) {
  void* util = Open({"libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR),
                     LIBAVUTIL_VERSION_MAJOR, "avutil_version"});
  void* format = util == nullptr
                     ? nullptr
                     : Open({"libavformat.so." + std::to_string(LIBAVFORMAT_VERSION_MAJOR),
                             LIBAVFORMAT_VERSION_MAJOR, "avformat_version"});
  void* codec = format == nullptr
                    ? nullptr
                    : Open({"libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR),
                            LIBAVCODEC_VERSION_MAJOR, "avcodec_version"});
  if (codec == nullptr) return false;
  decltype(&::av_log_set_level) setLogLevel = nullptr;
  if (!Resolve(format, "avformat_open_input", &api->avformat_open_input) ||
      !Resolve(format, "avformat_close_input", &api->avformat_close_input) ||
      !Resolve(format, "avformat_find_stream_info", &api->avformat_find_stream_info) ||
      !Resolve(format, "av_find_input_format", &api->av_find_input_format) ||
      !Resolve(util, "av_dict_set", &api->av_dict_set) ||
      !Resolve(util, "av_dict_set_int", &api->av_dict_set_int) ||
      !Resolve(util, "av_dict_get", &api->av_dict_get) ||
      !Resolve(util, "av_dict_free", &api->av_dict_free) ||
      !Resolve(util, "av_rescale_q", &api->av_rescale_q) ||
      !Resolve(util, "av_log_set_level", &setLogLevel) ||
      !Resolve(format, "av_find_best_stream", &api->av_find_best_stream) ||
      !Resolve(format, "av_read_frame", &api->av_read_frame) ||
      !Resolve(format, "avformat_seek_file", &api->avformat_seek_file) ||
      !Resolve(codec, "avcodec_find_decoder", &api->avcodec_find_decoder) ||
      !Resolve(codec, "avcodec_alloc_context3", &api->avcodec_alloc_context3) ||
      !Resolve(codec, "avcodec_free_context", &api->avcodec_free_context) ||
      !Resolve(codec, "avcodec_parameters_to_context", &api->avcodec_parameters_to_context) ||
      !Resolve(codec, "avcodec_open2", &api->avcodec_open2) ||
      !Resolve(codec, "avcodec_send_packet", &api->avcodec_send_packet) ||
      !Resolve(codec, "avcodec_receive_frame", &api->avcodec_receive_frame) ||
      !Resolve(codec, "av_packet_alloc", &api->av_packet_alloc) ||
      !Resolve(codec, "av_packet_free", &api->av_packet_free) ||
      !Resolve(codec, "av_packet_unref", &api->av_packet_unref) ||
      !Resolve(util, "av_frame_alloc", &api->av_frame_alloc) ||
      !Resolve(util, "av_frame_free", &api->av_frame_free) ||
      !Resolve(util, "av_frame_move_ref", &api->av_frame_move_ref) ||
      !Resolve(util, "av_frame_unref", &api->av_frame_unref)) {
    return false;
  }
  setLogLevel(AV_LOG_QUIET);
  return true;
}

}  // namespace

const FfmpegApi* Ffmpeg_Ensure() {
  static std::once_flag once;
  static FfmpegApi api{};
  static bool loaded = false;
  std::call_once(once, [] { loaded = Load(&api); });
  return loaded ? &api : nullptr;
}

}  // namespace media
