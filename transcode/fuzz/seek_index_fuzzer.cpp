// Feeds arbitrary files to the index builders. The first byte picks the extension, and
// with it the method; the rest is the media file. An index that is kept must be whole:
// the AVI form's count matches its entries, the MPEG form holds whole entries.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/log.h"
#include "platform/testing/fuzz_check.h"
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
  if (seek_index::BuildIndexFile(media.Get(), extension, out.Get(), stop) !=
      seek_index::BuildStatus::kOk) {
    return 0;
  }
  uint8_t head[8] = {};
  const off_t length = ::lseek(out.Get(), 0, SEEK_END);
  FuzzCheck(length >= 8 && ::pread(out.Get(), head, 8, 0) == 8 &&
            std::memcmp(head, "hidx", 4) == 0);
  const uint32_t count = head[4] | head[5] << 8 | head[6] << 16 | uint32_t{head[7]} << 24;
  FuzzCheck(data[0] % 4 == 0 ? length == 8 + 16 * off_t{count} : (length - 4) % 12 == 0);
  return 0;
}
