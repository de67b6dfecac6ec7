#include "upnp/keyed_table.h"

namespace {

uint32_t LoadLittleEndian32(const char* bytes) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[i]);
  return value;
}

}  // namespace

uint32_t FLibKeyedTable_Hash(std::string_view key) {
  if (key.size() <= 4) {
    char padded[4] = {0, 0, 0, 0};
    std::memcpy(padded, key.data(), key.size());
    return LoadLittleEndian32(padded);
  }
  uint32_t hash = LoadLittleEndian32(key.data()) ^ LoadLittleEndian32(key.data() + key.size() - 4);
  if (key.size() >= 10) hash ^= LoadLittleEndian32(key.data() + key.size() / 2);
  return hash;
}

void FLibBinarySemaphore::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  released_.wait(lock, [this] { return !held_; });
  held_ = true;
}

void FLibBinarySemaphore::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
  }
  released_.notify_one();
}
