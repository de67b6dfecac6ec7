#include "media/bmp_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace media {
namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;

void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::vector<uint8_t> Bmp_Encode24(int width, int height, const uint8_t* rgb, size_t rgbSize,
                                  int32_t xPixelsPerMetre, int32_t yPixelsPerMetre) {
  if (width <= 0 || height <= 0) return {};
  uint64_t w = static_cast<uint64_t>(width);
  uint64_t h = static_cast<uint64_t>(height);
  if (rgbSize / 3 / w < h) return {};
  uint64_t stride = (w * 3 + 3) & ~uint64_t{3};
  uint64_t imageSize = stride * h;
  uint64_t fileSize = kFileHeaderSize + kInfoHeaderSize + imageSize;
  if (fileSize > UINT32_MAX) return {};

  std::vector<uint8_t> out(static_cast<size_t>(fileSize), 0);
  uint8_t* p = out.data();
  p[0] = 'B';
  p[1] = 'M';
  PutLe32(p + 2, static_cast<uint32_t>(fileSize));
  PutLe32(p + 10, kFileHeaderSize + kInfoHeaderSize);  // offset of the pixels
  p += kFileHeaderSize;
  PutLe32(p, kInfoHeaderSize);
  PutLe32(p + 4, static_cast<uint32_t>(width));
  PutLe32(p + 8, static_cast<uint32_t>(height));  // positive: bottom-up rows
  PutLe16(p + 12, 1);                             // planes
  PutLe16(p + 14, 24);                            // bits per pixel
  PutLe32(p + 16, 0);                             // BI_RGB
  PutLe32(p + 20, static_cast<uint32_t>(imageSize));
  PutLe32(p + 24, static_cast<uint32_t>(xPixelsPerMetre));
  PutLe32(p + 28, static_cast<uint32_t>(yPixelsPerMetre));

  uint8_t* pixels = out.data() + kFileHeaderSize + kInfoHeaderSize;
  for (uint64_t y = 0; y < h; ++y) {
    const uint8_t* src = rgb + (h - 1 - y) * w * 3;
    uint8_t* dst = pixels + y * stride;
    for (uint64_t x = 0; x < w; ++x) {
      dst[x * 3] = src[x * 3 + 2];
      dst[x * 3 + 1] = src[x * 3 + 1];
      dst[x * 3 + 2] = src[x * 3];
    }
  }
  return out;
}

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& data) {
  std::string temporary = path + ".part";
  int raw = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (raw < 0) return false;
  FdCloser fd(raw);
  bool ok = WriteAll(raw, data.data(), data.size());
  ok = (::close(fd.Release()) == 0) && ok;
  if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace media
