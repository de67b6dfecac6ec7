// Where the body of a transfer comes from: a file read at offsets, or an encoder whose
// output is read in order. The read thread is the only caller of Read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class RpSource {
 public:
  virtual ~RpSource() = default;
  // Reads up to `size` bytes into `buffer`: at `offset` for a file, the next bytes for a
  // stream (which ignores `offset`). Returns the count, 0 at the end of the data, -1 on
  // an error.
  virtual int64_t Read(uint64_t offset, char* buffer, size_t size) = 0;
  // The length in bytes; -1 for a stream whose length is unknown.
  virtual int64_t Size() const = 0;
  // True for a stream (read in order, offsets ignored).
  virtual bool IsStream() const = 0;
  // A number unique to this open source within the process (the pre-cache window
  // remembers which source it holds).
  uint64_t Id() const { return id_; }

 protected:
  RpSource();

 private:
  uint64_t id_;
};

// A regular file opened for reading; null when it cannot be opened or is not a regular
// file (a folder, a FIFO or a device is never served).
std::unique_ptr<RpSource> RpSource_OpenFile(const std::string& path);
