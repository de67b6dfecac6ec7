#include "platform/inotify.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace platform {

static_assert(kInAccess == IN_ACCESS && kInModify == IN_MODIFY && kInAttrib == IN_ATTRIB);
static_assert(kInCloseWrite == IN_CLOSE_WRITE && kInMovedFrom == IN_MOVED_FROM);
static_assert(kInMovedTo == IN_MOVED_TO && kInCreate == IN_CREATE && kInDelete == IN_DELETE);
static_assert(kInDeleteSelf == IN_DELETE_SELF && kInMoveSelf == IN_MOVE_SELF);
static_assert(kInUnmount == IN_UNMOUNT && kInQueueOverflow == IN_Q_OVERFLOW);
static_assert(kInIgnored == IN_IGNORED && kInOnlyDir == IN_ONLYDIR && kInIsDir == IN_ISDIR);

namespace {

// Room for many events per read; one event with the longest name fits many times.
constexpr size_t kReadBufferBytes = 64 * 1024;

}  // namespace

Inotify::Inotify()
    : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!Valid()) error_ = errno;
}

int Inotify::AddWatch(const std::string& path, uint32_t mask) {
  {
    std::lock_guard lock(hookMutex_);
    if (addWatchHook_) {
      int fail = addWatchHook_(path);
      if (fail != 0) return -fail;
    }
  }
  int wd = ::inotify_add_watch(fd_.Get(), path.c_str(), mask);
  return wd >= 0 ? wd : -errno;
}

void Inotify::RemoveWatch(int wd) { ::inotify_rm_watch(fd_.Get(), wd); }

void Inotify::Wake() {
  uint64_t one = 1;
  // A full counter already means "woken"; nothing else can go wrong with an eventfd.
  ssize_t n = ::write(wake_.Get(), &one, sizeof one);
  (void)n;
}

void Inotify::InjectForTest(const InotifyEvent& event) {
  {
    std::lock_guard lock(hookMutex_);
    injected_.push_back(event);
  }
  Wake();
}

void Inotify::SetAddWatchHookForTest(std::function<int(const std::string& path)> hook) {
  std::lock_guard lock(hookMutex_);
  addWatchHook_ = std::move(hook);
}

void Inotify::ReadAvailable(std::vector<InotifyEvent>* events, int* error) {
  alignas(struct inotify_event) char buffer[kReadBufferBytes];
  for (;;) {
    ssize_t n = ::read(fd_.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) *error = errno;
      return;
    }
    if (n == 0) return;
    size_t offset = 0;
    while (offset + sizeof(struct inotify_event) <= static_cast<size_t>(n)) {
      const auto* raw = reinterpret_cast<const struct inotify_event*>(buffer + offset);
      size_t size = sizeof(struct inotify_event) + raw->len;
      if (offset + size > static_cast<size_t>(n)) break;  // the kernel never splits one
      InotifyEvent e;
      e.wd = raw->wd;
      e.mask = raw->mask;
      e.cookie = raw->cookie;
      if (raw->len > 0) e.name.assign(raw->name, ::strnlen(raw->name, raw->len));
      events->push_back(std::move(e));
      offset += size;
    }
  }
}

int Inotify::Wait(int timeoutMs, std::vector<InotifyEvent>* events, bool* woken) {
  *woken = false;
  {
    std::lock_guard lock(hookMutex_);
    if (!injected_.empty()) timeoutMs = 0;
  }
  struct pollfd fds[2] = {{fd_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
  int ready = ::poll(fds, 2, timeoutMs);
  if (ready < 0 && errno != EINTR) return -errno;
  if (ready > 0 && (fds[1].revents & POLLIN)) {
    uint64_t count = 0;
    ssize_t n = ::read(wake_.Get(), &count, sizeof count);
    *woken = n == sizeof count;
  }
  {
    std::lock_guard lock(hookMutex_);
    while (!injected_.empty()) {
      events->push_back(std::move(injected_.front()));
      injected_.pop_front();
    }
  }
  int error = 0;
  if (ready > 0 && (fds[0].revents & POLLIN)) ReadAvailable(events, &error);
  return -error;
}

long InotifyMaxUserWatches() {
  std::ifstream in("/proc/sys/fs/inotify/max_user_watches");
  long value = -1;
  if (!(in >> value)) return -1;
  return value;
}

}  // namespace platform
