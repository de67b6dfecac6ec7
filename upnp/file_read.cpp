#include "upnp/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "upnp/limits.h"

namespace {

// Closes the descriptor when the read is over, whichever way it ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int64_t FLibFile_ReadAll(const std::string& path, std::string* out) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return -1;
  struct stat info;
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > upnp_limits::kFileReadAllMaxBytes) {
    return -1;
  }
  // The file may change size while it is read; read until end of file, within the limit.
  std::string data;
  data.resize(static_cast<size_t>(info.st_size) + 1);
  size_t filled = 0;
  for (;;) {
    if (filled == data.size()) {
      if (data.size() > upnp_limits::kFileReadAllMaxBytes) return -1;
      data.resize(data.size() * 2);
    }
    const ssize_t got = ::read(file.get(), data.data() + filled, data.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  if (filled > upnp_limits::kFileReadAllMaxBytes) return -1;
  data.resize(filled);
  *out = std::move(data);
  return static_cast<int64_t>(filled);
}
