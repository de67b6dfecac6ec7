// Feeds arbitrary bytes to the JPEG and PNG header reader as a whole file.
#include <cstddef>
#include <cstdint>

#include "media/image_size.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  media::MemoryByteSource source(data, size);
  int width = 0;
  int height = 0;
  media::ImageSize_ReadHeader(source, &width, &height);
  return 0;
}
