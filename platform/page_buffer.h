// A buffer of private anonymous pages: mapped when allocated and unmapped, given back to
// the system, when the owner goes away. The heap would keep a freed large block in a
// thread's arena, so buffers that worker threads take and free one after another would
// stay resident while the program rests.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <utility>

namespace platform {

class PageBuffer {
 public:
  PageBuffer() = default;
  ~PageBuffer() { Reset(); }
  PageBuffer(PageBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  PageBuffer& operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
      Reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  // Replaces the buffer with one of `size` bytes. False when the system has no memory
  // for it; the buffer is then empty. A size of 0 gives an empty buffer and succeeds.
  bool Allocate(size_t size) {
    Reset();
    if (size == 0) return true;
    void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return false;
    data_ = static_cast<char*>(pages);
    size_ = size;
    return true;
  }
  void Reset() {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
  }

  char* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace platform
