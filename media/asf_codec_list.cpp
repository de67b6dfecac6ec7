#include "media/asf_codec_list.h"

#include <cstring>

#include "media/limits.h"
#include "platform/text.h"

namespace media {
namespace {

constexpr uint8_t kHeaderObjectGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                           0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr uint8_t kCodecListObjectGuid[16] = {0x40, 0x52, 0xD1, 0x86, 0x1D, 0x31, 0xD0, 0x11,
                                              0xA3, 0xA4, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
constexpr size_t kObjectHeaderSize = 24;  // GUID and 64-bit size
constexpr size_t kHeaderObjectSize = 30;  // plus object count and two reserved bytes

// UTF-16LE text to UTF-8; unpaired surrogates become U+FFFD. Stops at the first zero.
std::string Utf16LeToUtf8(const uint8_t* data, size_t units) {
  std::string out;
  for (size_t i = 0; i < units; ++i) {
    uint32_t unit = LoadLe16(data + i * 2);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
      uint32_t low = LoadLe16(data + (i + 1) * 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        platform::AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
    platform::AppendUtf8(out, unit);
  }
  return out;
}

// Reads one length-prefixed UTF-16 text (length in units) at `*pos`.
bool ReadText(const uint8_t* body, size_t size, size_t* pos, std::string* text) {
  if (size - *pos < 2) return false;
  size_t units = LoadLe16(body + *pos);
  *pos += 2;
  if ((size - *pos) / 2 < units) return false;
  *text = Utf16LeToUtf8(body + *pos, units);
  *pos += units * 2;
  return true;
}

}  // namespace

bool AsfCodecList_Parse(const uint8_t* body, size_t size, std::vector<AsfCodecEntry>* entries) {
  entries->clear();
  if (size < 20) return false;  // reserved GUID and entry count
  uint32_t count = LoadLe32(body + 16);
  size_t pos = 20;
  for (uint32_t i = 0; i < count && i < media_limits::kAsfMaxCodecEntries; ++i) {
    AsfCodecEntry entry;
    if (size - pos < 2) return false;
    entry.type = LoadLe16(body + pos);
    pos += 2;
    if (!ReadText(body, size, &pos, &entry.name)) return false;
    if (!ReadText(body, size, &pos, &entry.description)) return false;
    if (size - pos < 2) return false;
    size_t infoSize = LoadLe16(body + pos);
    pos += 2;
    if (size - pos < infoSize) return false;
    pos += infoSize;
    entries->push_back(std::move(entry));
  }
  return true;
}

bool AsfCodecList_Read(ByteSource& source, std::vector<AsfCodecEntry>* entries) {
  entries->clear();
  uint8_t head[kHeaderObjectSize];
  if (!source.ReadAt(0, head, sizeof head)) return false;
  if (std::memcmp(head, kHeaderObjectGuid, 16) != 0) return false;
  uint64_t headerEnd = LoadLe64(head + 16);
  uint32_t objects = LoadLe32(head + 24);
  uint64_t pos = kHeaderObjectSize;
  for (uint32_t i = 0; i < objects && i < media_limits::kAsfMaxHeaderObjects; ++i) {
    if (headerEnd < kObjectHeaderSize || pos > headerEnd - kObjectHeaderSize) return false;
    uint8_t object[kObjectHeaderSize];
    if (!source.ReadAt(pos, object, sizeof object)) return false;
    uint64_t objectSize = LoadLe64(object + 16);
    if (objectSize < kObjectHeaderSize || objectSize > headerEnd - pos) return false;
    if (std::memcmp(object, kCodecListObjectGuid, 16) == 0) {
      uint64_t bodySize = objectSize - kObjectHeaderSize;
      if (bodySize > media_limits::kAsfCodecListMaxBytes) return false;
      if (source.Size() < pos + objectSize) return false;
      std::vector<uint8_t> body(static_cast<size_t>(bodySize));
      if (!source.ReadAt(pos + kObjectHeaderSize, body.data(), body.size())) return false;
      return AsfCodecList_Parse(body.data(), body.size(), entries) || !entries->empty();
    }
    pos += objectSize;
  }
  return false;
}

uint32_t AsfCodecList_Flags(const std::vector<AsfCodecEntry>& entries) {
  for (const AsfCodecEntry& entry : entries) {
    if (entry.type == kAsfCodecTypeVideo && platform::AsciiEqualsNoCase(entry.name, "WMV3") &&
        platform::AsciiEqualsNoCase(entry.description, "Professional")) {
      return kWMTagFlagProfessionalWmv;
    }
  }
  return 0;
}

}  // namespace media
