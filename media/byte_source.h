// Random-access reads for the container header parsers, from a file or from memory (the
// latter for tests and fuzzing harnesses). A read either fills the whole buffer or fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace media {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads exactly `size` bytes at `offset`; false when fewer are there or on error.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
  // The number of bytes there are (0 when unknown or on error).
  virtual uint64_t Size() = 0;
};

// Opens `path` read-only when it is a regular file (never blocking on a FIFO or device);
// -1 otherwise. The caller closes the descriptor.
int OpenRegularFile(const std::string& path);

// Reads from a file opened read-only; the descriptor is closed with the object.
class FileByteSource final : public ByteSource {
 public:
  explicit FileByteSource(const std::string& path);
  ~FileByteSource() override;
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override;
  uint64_t Size() override;

 private:
  int fd_ = -1;
};

// Reads from a byte range that outlives the object.
class MemoryByteSource final : public ByteSource {
 public:
  MemoryByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override;
  uint64_t Size() override { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

// Little-endian numbers from a byte buffer the caller has checked to be long enough.
inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadLe64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadLe32(p)) | (static_cast<uint64_t>(LoadLe32(p + 4)) << 32);
}

}  // namespace media
