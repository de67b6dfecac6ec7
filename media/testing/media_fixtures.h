// Test fixtures of the media tests: ASF header pieces as another encoder would write
// them, and whether a library has been loaded into this process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace media_test {

// A little-endian writer, an ASF object (GUID, 64-bit size, body) and the body of a codec
// list whose entries carry no codec information of note.
void PutLe(std::vector<uint8_t>* out, uint64_t value, int bytes);
extern const uint8_t kAsfCodecListGuid[16];
std::vector<uint8_t> AsfObject(const uint8_t* guid, const std::vector<uint8_t>& body);
struct AsfCodec {
  uint16_t type;  // 1 video, 2 audio
  std::u16string name;
  std::u16string description;
};
std::vector<uint8_t> AsfCodecListBody(const std::vector<AsfCodec>& entries);
// An ASF header object holding `objects`, followed by 64 bytes where the data would start.
std::vector<uint8_t> AsfHeader(const std::vector<uint8_t>& objects);

// Whether a library whose file name contains `name` (such as "/libvips.so") is mapped into
// this process, from the process's own memory map.
bool LibraryMapped(const std::string& name);

}  // namespace media_test
