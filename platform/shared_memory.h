// Named POSIX shared-memory objects mapped read/write: how two processes share an area
// by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

// One named object mapped whole. The creator's name is removed when the owner goes away,
// so no object outlives the one that made it; a process that only opened it leaves the
// name alone.
class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(SharedMemory&& other) noexcept;
  SharedMemory& operator=(SharedMemory&& other) noexcept;
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Creates a new object of `size` bytes (zero-filled), readable and writable by this user
  // only, and maps it. `name` is a plain name without "/". Returns 0 or an errno value;
  // EEXIST when an object of that name exists already (it is left alone).
  int Create(const std::string& name, size_t size);
  // Opens an existing object and maps it whole; EINVAL when it is smaller than
  // `minSize`.
  int Open(const std::string& name, size_t minSize);

  uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }
  bool Valid() const { return data_ != nullptr; }
  void Reset();

 private:
  UniqueFd fd_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  std::string unlinkName_;  // set for the creator
};

}  // namespace platform
