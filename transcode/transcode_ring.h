// The shared area between the server and the encoder program: its named shared-memory
// objects, the process-shared mutex that guards it, and the ring arithmetic. Both
// programs use this one implementation so that their views of the layout cannot drift.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/shared_memory.h"

namespace transcode {

// "_tarnwick_trans_%03d" and "_tarnwick_mutex_%03d" of a slot (0..900).
std::string AreaName(int slot);
std::string MutexName(int slot);

// A name the protocol may carry: 1..kSharedNameMax characters of A-Z, a-z, 0-9 and "_".
// Anything else (a "/", "..", control bytes) is refused before it reaches shm_open.
bool IsValidSharedName(std::string_view name);

// A named shared-memory area (platform::SharedMemory) whose name the protocol may carry:
// Create and Open refuse any other name with EINVAL. The creator's object is removed
// when the owner goes away, so no area outlives the session that made it.
class SharedArea : private platform::SharedMemory {
 public:
  int Create(const std::string& name, size_t size);
  int Open(const std::string& name, size_t minSize);

  using platform::SharedMemory::Data;
  using platform::SharedMemory::Reset;
  using platform::SharedMemory::Size;
  using platform::SharedMemory::Valid;
};

// A mutex shared by name between processes: a robust, process-shared pthread mutex in a
// small shared-memory object of its own. When its owner dies the next locker is told
// so (kAbandoned) and holds it, made consistent again.
class SharedMutex {
 public:
  enum class LockResult { kAcquired, kAbandoned, kTimedOut, kFailed };

  SharedMutex() = default;
  SharedMutex(SharedMutex&&) noexcept = default;
  SharedMutex& operator=(SharedMutex&&) noexcept = default;

  // Creates and initialises the mutex, not owned. 0 or an errno value (EEXIST).
  int Create(const std::string& name);
  // Opens a mutex another process created.
  int Open(const std::string& name);

  // Waits at most `timeoutMs`. kAcquired and kAbandoned leave the mutex held.
  LockResult Lock(int timeoutMs);
  void Unlock();
  bool Valid() const { return area_.Valid(); }
  void Reset() { area_.Reset(); }

 private:
  pthread_mutex_t* Get() const;
  SharedArea area_;
};

// The header and ring of a mapped area. Every call expects the caller to hold the area's
// mutex. The ring's size is fixed when the view is made (from the mapping), never taken
// from the header, and offsets read from the header are checked against it before use,
// so a peer that writes nonsense cannot make either side copy outside the ring.
class RingView {
 public:
  RingView() = default;
  // `area` points at the header; the ring of `ringSize` bytes follows it.
  RingView(uint8_t* area, uint32_t ringSize) : area_(area), ringSize_(ringSize) {}

  // Writes a fresh header: the mutex name, the ring size, state and offsets 0.
  void Initialize(std::string_view mutexName);
  // The mutex name of the header when it is zero-terminated within its field and valid;
  // empty otherwise.
  std::string MutexName() const;

  uint32_t HeaderRingSize() const;
  uint32_t State() const;
  void SetState(uint32_t state);
  uint32_t ReadOffset() const;
  uint32_t WriteOffset() const;

  // False when an offset lies outside the ring: the area has been damaged.
  bool OffsetsValid() const;
  // Bytes that can be read now; 0 for a damaged header.
  uint32_t Available() const;
  // Bytes that can be written now: the ring keeps one byte free so that a full ring is
  // not mistaken for an empty one.
  uint32_t Free() const;

  // Server side: copies up to `length` bytes out of the ring (in at most two pieces)
  // and advances the read offset. Returns the count; 0 when empty or damaged.
  size_t Read(uint8_t* out, size_t length);
  // Encoder side: copies up to `length` bytes into the ring without moving the write
  // offset onto the read offset. Returns the count taken.
  size_t Write(const uint8_t* in, size_t length);

 private:
  uint32_t Get(size_t offset) const;
  void Set(size_t offset, uint32_t value);
  uint8_t* Ring() const;

  uint8_t* area_ = nullptr;
  uint32_t ringSize_ = 0;
};

}  // namespace transcode
