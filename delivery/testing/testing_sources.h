// The byte pattern and the in-memory body source of the delivery tests.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "delivery/rp_source.h"

namespace delivery_test {

// A deterministic byte pattern that differs at every 4 KiB step and inside each block.
inline std::string Pattern(uint64_t offset, size_t size) {
  std::string out(size, '\0');
  for (uint64_t i = offset; i < offset + size; ++i)
    out[i - offset] = static_cast<char>(((i * 0x9E3779B97F4A7C15ull) >> 32) ^ (i >> 12));
  return out;
}

// A file-like source of 1 MiB of pattern bytes whose reads wait until it is opened.
class GateSource : public RpSource {
 public:
  int64_t Read(uint64_t offset, char* buffer, size_t size) override {
    std::unique_lock lock(mutex_);
    waiting_ = true;
    cv_.wait(lock, [this] { return open_; });
    size_t n = offset >= kSize ? 0 : std::min<uint64_t>(size, kSize - offset);
    std::memcpy(buffer, Pattern(offset, n).data(), n);
    return static_cast<int64_t>(n);
  }
  int64_t Size() const override { return kSize; }
  bool IsStream() const override { return false; }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  bool Waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

 private:
  static constexpr uint64_t kSize = 1 << 20;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
  bool waiting_ = false;
};

}  // namespace delivery_test
