#include "media/image_size.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "media/limits.h"
#include "media/vips_support.h"
#include "platform/file_info.h"

namespace media {
namespace {

uint16_t LoadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t LoadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

bool SideOk(uint32_t side) {
  return side >= 1 && side <= static_cast<uint32_t>(media_limits::kHeaderMaxSide);
}

// Frame headers of the JPEG kinds the decoder libvips uses takes: baseline, extended and
// progressive, Huffman or arithmetic coded. Lossless and hierarchical kinds are refused
// by it, so they are not answered here either.
bool IsDecodableFrame(uint8_t marker) {
  return marker == 0xC0 || marker == 0xC1 || marker == 0xC2 || marker == 0xC9 || marker == 0xCA;
}

bool IsOtherFrame(uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Markers that stand alone, without a length: TEM and the restart markers.
bool IsStandalone(uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

// Walks the segments after SOI: the frame header gives the size, and the decoder reads
// a header only up to the first scan, so a file must reach one.
bool ReadJpeg(ByteSource& source, int* width, int* height) {
  const uint64_t size = source.Size();
  uint64_t pos = 2;
  uint32_t frameWidth = 0;
  uint32_t frameHeight = 0;
  for (int segment = 0; segment < media_limits::kJpegMaxSegments; ++segment) {
    uint8_t head[4];
    if (pos > size || size - pos < 2 || !source.ReadAt(pos, head, 2) || head[0] != 0xFF) {
      return false;
    }
    uint8_t marker = head[1];
    if (marker == 0xFF) {  // fill byte before the marker
      pos += 1;
      continue;
    }
    if (IsStandalone(marker)) {
      pos += 2;
      continue;
    }
    if (marker == 0xD8 || marker == 0xD9) return false;  // another SOI, or the end
    if (size - pos < 4 || !source.ReadAt(pos, head, 4)) return false;
    uint16_t length = LoadBe16(head + 2);
    if (length < 2 || size - pos - 2 < length) return false;
    if (marker == 0xDA) {
      if (frameWidth == 0) return false;
      *width = static_cast<int>(frameWidth);
      *height = static_cast<int>(frameHeight);
      return true;
    }
    if (IsOtherFrame(marker)) {
      // One frame per picture; a second, or one the decoder refuses, is for libvips.
      if (!IsDecodableFrame(marker) || frameWidth != 0 || length < 8) return false;
      uint8_t frame[6];
      if (!source.ReadAt(pos + 4, frame, sizeof frame)) return false;
      uint8_t precision = frame[0];
      uint32_t h = LoadBe16(frame + 1);
      uint32_t w = LoadBe16(frame + 3);
      uint8_t components = frame[5];
      if (precision != 8 || !SideOk(w) || !SideOk(h) || components < 1 || components > 4 ||
          length != 8 + 3 * components) {
        return false;
      }
      frameWidth = w;
      frameHeight = h;
    }
    pos += 2 + static_cast<uint64_t>(length);
  }
  return false;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

bool ValidPngDepth(uint8_t colourType, uint8_t depth) {
  switch (colourType) {
    case 0:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

// The header chunk follows the signature: length 13, "IHDR", the fields, its CRC.
bool ReadPng(ByteSource& source, int* width, int* height) {
  uint8_t chunk[8 + 4 + 4 + 13 + 4];
  if (!source.ReadAt(0, chunk, sizeof chunk)) return false;
  const uint8_t* ihdr = chunk + 8;
  if (LoadBe32(ihdr) != 13 || std::memcmp(ihdr + 4, "IHDR", 4) != 0) return false;
  const uint8_t* fields = ihdr + 8;
  if (Crc32(ihdr + 4, 4 + 13) != LoadBe32(fields + 13)) return false;
  uint32_t w = LoadBe32(fields);
  uint32_t h = LoadBe32(fields + 4);
  if (!SideOk(w) || !SideOk(h) || !ValidPngDepth(fields[9], fields[8]) || fields[10] != 0 ||
      fields[11] != 0 || fields[12] > 1) {
    return false;
  }
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  return true;
}

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

}  // namespace

bool ImageSize_ReadHeader(ByteSource& source, int* width, int* height) {
  *width = 0;
  *height = 0;
  uint8_t magic[8];
  if (!source.ReadAt(0, magic, sizeof magic)) return false;
  int w = 0;
  int h = 0;
  bool known = false;
  if (magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) {
    known = ReadJpeg(source, &w, &h);
  } else if (std::memcmp(magic, kPngSignature, sizeof kPngSignature) == 0) {
    known = ReadPng(source, &w, &h);
  }
  if (!known) return false;
  *width = w;
  *height = h;
  return true;
}

}  // namespace media

namespace {

// Sizes measured before, trusted only while the picture is exactly as it was: a Browse
// of a folder of pictures asks for each picture's size for every answer it appears in.
class MeasuredSizes {
 public:
  struct Measured {
    platform::FileStamp stamp;
    int width = 0;
    int height = 0;
    bool known = false;
  };

  std::optional<Measured> Find(const std::string& path, const platform::FileStamp& stamp) {
    std::lock_guard lock(mutex_);
    auto found = sizes_.find(path);
    if (found == sizes_.end() || !(found->second.stamp == stamp)) return std::nullopt;
    return found->second;
  }

  void Remember(const std::string& path, const Measured& measured) {
    std::lock_guard lock(mutex_);
    if (sizes_.size() >= media_limits::kImageSizesRemembered) sizes_.clear();
    sizes_[path] = measured;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, Measured> sizes_;
};

MeasuredSizes& Sizes() {
  static MeasuredSizes sizes;
  return sizes;
}

bool Measure(const std::string& path, int* width, int* height) {
  {
    media::FileByteSource source(path);
    if (!source.IsOpen()) return false;
    if (media::ImageSize_ReadHeader(source, width, height)) return true;
  }
  // Every other picture (GIF, BMP, TIFF, a JPEG or PNG of a rarer kind, a damaged one)
  // is measured by libvips, which reads many more formats.
  media::VipsImagePtr image = media::Vips_LoadSequential(path);
  if (!image) return false;
  const media::VipsApi* vips = media::Vips_Ensure();
  *width = vips->image_get_width(image.get());
  *height = vips->image_get_height(image.get());
  return true;
}

}  // namespace

bool ImageSize(const std::string& path, int* width, int* height) {
  *width = 0;
  *height = 0;
  std::optional<platform::FileStamp> stamp = platform::StampOf(path);
  if (!stamp) return false;
  if (std::optional<MeasuredSizes::Measured> known = Sizes().Find(path, *stamp)) {
    *width = known->width;
    *height = known->height;
    return known->known;
  }
  MeasuredSizes::Measured measured{*stamp};
  measured.known = Measure(path, &measured.width, &measured.height);
  *width = measured.width;
  *height = measured.height;
  // A picture rewritten while it was read is measured again next time.
  if (platform::StampOf(path) == stamp) Sizes().Remember(path, measured);
  return measured.known;
}
