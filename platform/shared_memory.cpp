#include "platform/shared_memory.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <utility>

namespace platform {
namespace {

std::string ObjectName(const std::string& name) { return "/" + name; }

}  // namespace

SharedMemory::~SharedMemory() { Reset(); }

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : fd_(std::move(other.fd_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      unlinkName_(std::exchange(other.unlinkName_, {})) {}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = std::move(other.fd_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    unlinkName_ = std::exchange(other.unlinkName_, {});
  }
  return *this;
}

void SharedMemory::Reset() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  fd_.Reset();
  if (!unlinkName_.empty()) ::shm_unlink(ObjectName(unlinkName_).c_str());
  unlinkName_.clear();
}

int SharedMemory::Create(const std::string& name, size_t size) {
  Reset();
  if (name.empty() || name.find('/') != std::string::npos || size == 0) return EINVAL;
  std::string object = ObjectName(name);
  UniqueFd fd(::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.Valid()) return errno;
  // From here the object is ours; any failure removes it again.
  unlinkName_ = name;
  if (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) {
    int error = errno;
    Reset();
    return error;
  }
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
  if (view == MAP_FAILED) {
    int error = errno;
    Reset();
    return error;
  }
  fd_ = std::move(fd);
  data_ = static_cast<uint8_t*>(view);
  size_ = size;
  return 0;
}

int SharedMemory::Open(const std::string& name, size_t minSize) {
  Reset();
  if (name.empty() || name.find('/') != std::string::npos) return EINVAL;
  UniqueFd fd(::shm_open(ObjectName(name).c_str(), O_RDWR | O_CLOEXEC, 0));
  if (!fd.Valid()) return errno;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) return errno;
  if (info.st_size <= 0 || static_cast<uint64_t>(info.st_size) < minSize) return EINVAL;
  size_t size = static_cast<size_t>(info.st_size);
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
  if (view == MAP_FAILED) return errno;
  fd_ = std::move(fd);
  data_ = static_cast<uint8_t*>(view);
  size_ = size;
  return 0;
}

}  // namespace platform
