#include "transcode/transcode_ring.h"

#include <errno.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "transcode/transcode_limits.h"

namespace transcode {

namespace tl = transcode_limits;

namespace {

std::string FormatSlot(const char* format, int slot) {
  char name[32];
  std::snprintf(name, sizeof name, format, slot);
  return name;
}

}  // namespace

std::string AreaName(int slot) { return FormatSlot(tl::kAreaNameFormat, slot); }
std::string MutexName(int slot) { return FormatSlot(tl::kMutexNameFormat, slot); }

bool IsValidSharedName(std::string_view name) {
  if (name.empty() || name.size() > tl::kSharedNameMax) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// ---- SharedArea ----

int SharedArea::Create(const std::string& name, size_t size) {
  Reset();
  if (!IsValidSharedName(name)) return EINVAL;
  return platform::SharedMemory::Create(name, size);
}

int SharedArea::Open(const std::string& name, size_t minSize) {
  Reset();
  if (!IsValidSharedName(name)) return EINVAL;
  return platform::SharedMemory::Open(name, minSize);
}

// ---- SharedMutex ----

pthread_mutex_t* SharedMutex::Get() const {
  return reinterpret_cast<pthread_mutex_t*>(area_.Data());
}

int SharedMutex::Create(const std::string& name) {
  int error = area_.Create(name, sizeof(pthread_mutex_t));
  if (error != 0) return error;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  error = pthread_mutex_init(Get(), &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (error != 0) area_.Reset();
  return error;
}

int SharedMutex::Open(const std::string& name) { return area_.Open(name, sizeof(pthread_mutex_t)); }

SharedMutex::LockResult SharedMutex::Lock(int timeoutMs) {
  if (!area_.Valid()) return LockResult::kFailed;
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  int64_t nanoseconds = deadline.tv_nsec + static_cast<int64_t>(std::max(timeoutMs, 0)) * 1000000;
  deadline.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
  deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
  int result = pthread_mutex_clocklock(Get(), CLOCK_MONOTONIC, &deadline);
  switch (result) {
    case 0:
      return LockResult::kAcquired;
    case ETIMEDOUT:
      return LockResult::kTimedOut;
    case EOWNERDEAD:
      // The owner died holding it. Mark it usable again; what it guarded may be half
      // written, which the caller judges from the header.
      pthread_mutex_consistent(Get());
      return LockResult::kAbandoned;
    default:
      return LockResult::kFailed;
  }
}

void SharedMutex::Unlock() {
  if (area_.Valid()) pthread_mutex_unlock(Get());
}

// ---- RingView ----

uint32_t RingView::Get(size_t offset) const {
  uint32_t value;
  std::memcpy(&value, area_ + offset, sizeof value);
  return value;
}

void RingView::Set(size_t offset, uint32_t value) {
  std::memcpy(area_ + offset, &value, sizeof value);
}

uint8_t* RingView::Ring() const { return area_ + tl::kHeaderSize; }

void RingView::Initialize(std::string_view mutexName) {
  std::memset(area_, 0, tl::kHeaderSize);
  std::memcpy(area_, mutexName.data(), std::min(mutexName.size(), tl::kMutexNameField - 1));
  Set(tl::kRingSizeOffset, ringSize_);
  Set(tl::kStateOffset, tl::kStateEncoding);
  Set(tl::kReadOffsetOffset, 0);
  Set(tl::kWriteOffsetOffset, 0);
}

std::string RingView::MutexName() const {
  const char* field = reinterpret_cast<const char*>(area_);
  const void* end = std::memchr(field, '\0', tl::kMutexNameField);
  if (end == nullptr) return {};
  std::string name(field, static_cast<const char*>(end) - field);
  return IsValidSharedName(name) ? name : std::string();
}

uint32_t RingView::HeaderRingSize() const { return Get(tl::kRingSizeOffset); }
uint32_t RingView::State() const { return Get(tl::kStateOffset); }
void RingView::SetState(uint32_t state) { Set(tl::kStateOffset, state); }
uint32_t RingView::ReadOffset() const { return Get(tl::kReadOffsetOffset); }
uint32_t RingView::WriteOffset() const { return Get(tl::kWriteOffsetOffset); }

bool RingView::OffsetsValid() const {
  return ringSize_ > 1 && ReadOffset() < ringSize_ && WriteOffset() < ringSize_;
}

uint32_t RingView::Available() const {
  if (!OffsetsValid()) return 0;
  uint32_t read = ReadOffset();
  uint32_t write = WriteOffset();
  return write >= read ? write - read : ringSize_ - read + write;
}

uint32_t RingView::Free() const {
  if (!OffsetsValid()) return 0;
  return ringSize_ - 1 - Available();
}

size_t RingView::Read(uint8_t* out, size_t length) {
  size_t n = std::min<size_t>(Available(), length);
  if (n == 0) return 0;
  uint32_t read = ReadOffset();
  size_t tail = ringSize_ - read;
  size_t first = std::min(n, tail);
  std::memcpy(out, Ring() + read, first);
  std::memcpy(out + first, Ring(), n - first);
  Set(tl::kReadOffsetOffset, static_cast<uint32_t>((read + n) % ringSize_));
  return n;
}

size_t RingView::Write(const uint8_t* in, size_t length) {
  size_t n = std::min<size_t>(Free(), length);
  if (n == 0) return 0;
  uint32_t write = WriteOffset();
  size_t tail = ringSize_ - write;
  size_t first = std::min(n, tail);
  std::memcpy(Ring() + write, in, first);
  std::memcpy(Ring(), in + first, n - first);
  Set(tl::kWriteOffsetOffset, static_cast<uint32_t>((write + n) % ringSize_));
  return n;
}

}  // namespace transcode
