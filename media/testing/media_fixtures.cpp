#include "media/testing/media_fixtures.h"

#include <fstream>

namespace media_test {

void PutLe(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

const uint8_t kAsfCodecListGuid[16] = {0x40, 0x52, 0xD1, 0x86, 0x1D, 0x31, 0xD0, 0x11,
                                       0xA3, 0xA4, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};

std::vector<uint8_t> AsfObject(const uint8_t* guid, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out(guid, guid + 16);
  PutLe(&out, 24 + body.size(), 8);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> AsfCodecListBody(const std::vector<AsfCodec>& entries) {
  std::vector<uint8_t> body(16, 0);  // the reserved GUID
  PutLe(&body, entries.size(), 4);
  for (const AsfCodec& e : entries) {
    PutLe(&body, e.type, 2);
    for (const std::u16string* text : {&e.name, &e.description}) {
      PutLe(&body, text->size() + 1, 2);
      for (char16_t c : *text) PutLe(&body, c, 2);
      PutLe(&body, 0, 2);
    }
    PutLe(&body, 0x01610002, 4);  // two bytes of codec information: 0x0161
  }
  return body;
}

std::vector<uint8_t> AsfHeader(const std::vector<uint8_t>& objects) {
  static const uint8_t kHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  std::vector<uint8_t> file(kHeaderGuid, kHeaderGuid + 16);
  PutLe(&file, 30 + objects.size(), 8);
  PutLe(&file, 0x020100000002, 6);
  file.insert(file.end(), objects.begin(), objects.end());
  file.resize(file.size() + 64, 0);
  return file;
}

bool LibraryMapped(const std::string& name) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(name) != std::string::npos) return true;
  }
  return false;
}

}  // namespace media_test
