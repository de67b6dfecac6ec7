// Feeds arbitrary bytes to the AVI header walk as a whole file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "media/avi_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  media::MemoryByteSource source(data, size);
  std::string handler;
  media::AviCheck_ReadVideoHandler(source, &handler);
  media::AviCheck_Flags(source);
  return 0;
}
