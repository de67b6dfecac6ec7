#include "platform/thread.h"

#include <linux/ioprio.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/limits.h"

namespace platform {
namespace {

// On Linux the nice value belongs to a thread when addressed by its thread id.
bool SetThreadNice(int value) {
  return ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), value) == 0;
}

int ThreadNice(pid_t id) {
  errno = 0;
  int value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(id));
  return errno == 0 ? value : 0;
}

}  // namespace

bool SetCurrentThreadPriorityHighest() {
  // "Highest" is relative to the process: a few steps above what its main thread has.
  int target = std::max(-20, ThreadNice(::getpid()) - kHighestPriorityNiceDelta);
  if (ThreadNice(::gettid()) <= target) return true;
  return SetThreadNice(target);
}

bool SetCurrentThreadPriorityIdle() {
  sched_param param{};
  param.sched_priority = 0;
  if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &param) == 0) return true;
  return SetThreadNice(kIdleNiceValue);
}

bool SetCurrentThreadPriorityBackground() {
  bool niced = SetThreadNice(kIdleNiceValue);
  // No C library wraps this call. An unprivileged thread may always lower its own class.
  bool diskIdle = ::syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, ::gettid(),
                            IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0)) == 0;
  return niced || diskIdle;
}

void SetCurrentThreadName(std::string_view name) {
  size_t cut = std::min(name.size(), kMaxThreadNameLength);
  // Step back over continuation bytes so the cut lands on a sequence start.
  if (cut < name.size()) {
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  }
  std::string shortName(name.substr(0, cut));
  ::pthread_setname_np(::pthread_self(), shortName.c_str());
}

}  // namespace platform
