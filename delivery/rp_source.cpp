#include "delivery/rp_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "platform/unique_fd.h"

namespace {

std::atomic<uint64_t> g_nextSourceId{1};

class FileSource final : public RpSource {
 public:
  FileSource(platform::UniqueFd fd, int64_t size) : fd_(std::move(fd)), size_(size) {}

  int64_t Read(uint64_t offset, char* buffer, size_t size) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    for (;;) {
      ssize_t n = ::pread(fd_.Get(), buffer, size, static_cast<off_t>(offset));
      if (n >= 0) return n;
      if (errno != EINTR) return -1;
    }
  }
  int64_t Size() const override { return size_; }
  bool IsStream() const override { return false; }

 private:
  platform::UniqueFd fd_;
  int64_t size_;
};

}  // namespace

RpSource::RpSource() : id_(g_nextSourceId.fetch_add(1, std::memory_order_relaxed)) {}

std::unique_ptr<RpSource> RpSource_OpenFile(const std::string& path) {
  // O_NONBLOCK keeps a FIFO that slipped in from blocking the open; it is refused below.
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) return nullptr;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  int flags = ::fcntl(fd.Get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
  return std::make_unique<FileSource>(std::move(fd), static_cast<int64_t>(st.st_size));
}
