// Feeds arbitrary files to the index builders. The first byte picks the extension, and
// with it the method; the rest is the media file.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/log.h"
#include "platform/unique_fd.h"
#include "transcode/seek_index_build.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kExtensions[] = {".avi", ".vob", ".mpg", ".ts"};
  static const bool quiet = [] {
    platform::SetLogSink([](std::string_view) {});
    return true;
  }();
  (void)quiet;
  if (size == 0) return 0;
  const char* extension = kExtensions[data[0] % 4];
  platform::UniqueFd media(::memfd_create("seek-index-media", MFD_CLOEXEC));
  platform::UniqueFd out(::memfd_create("seek-index-out", MFD_CLOEXEC));
  if (!media.Valid() || !out.Valid()) return 0;
  if (size > 1 && ::write(media.Get(), data + 1, size - 1) != static_cast<ssize_t>(size - 1)) {
    return 0;
  }
  std::atomic<bool> stop{false};
  seek_index::BuildIndexFile(media.Get(), extension, out.Get(), stop);
  return 0;
}
