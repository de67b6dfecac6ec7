// Feeds arbitrary bytes to the ASF header walk (as a whole file) and to the codec list
// parser (as an object body).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/asf_codec_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  media::MemoryByteSource source(data, size);
  std::vector<media::AsfCodecEntry> entries;
  media::AsfCodecList_Read(source, &entries);
  media::AsfCodecList_Flags(entries);
  media::AsfCodecList_Parse(data, size, &entries);
  return 0;
}
