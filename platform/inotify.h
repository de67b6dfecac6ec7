// File-system change notification on inotify: one instance, a watch per directory, and a
// wake-up so that the thread reading events can be asked to look at its requests.
// The directory watcher (library/build) builds on this. The only other user is the
// watch on files that kept answers read (file_info.cpp), with an instance of its own.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

// Event bits, with the values of the kernel's IN_* constants (checked where inotify is
// included).
inline constexpr uint32_t kInAccess = 0x00000001;
inline constexpr uint32_t kInModify = 0x00000002;
inline constexpr uint32_t kInAttrib = 0x00000004;
inline constexpr uint32_t kInCloseWrite = 0x00000008;
inline constexpr uint32_t kInMovedFrom = 0x00000040;
inline constexpr uint32_t kInMovedTo = 0x00000080;
inline constexpr uint32_t kInCreate = 0x00000100;
inline constexpr uint32_t kInDelete = 0x00000200;
inline constexpr uint32_t kInDeleteSelf = 0x00000400;
inline constexpr uint32_t kInMoveSelf = 0x00000800;
inline constexpr uint32_t kInUnmount = 0x00002000;
inline constexpr uint32_t kInQueueOverflow = 0x00004000;
inline constexpr uint32_t kInIgnored = 0x00008000;
inline constexpr uint32_t kInOnlyDir = 0x01000000;
inline constexpr uint32_t kInIsDir = 0x40000000;

struct InotifyEvent {
  int wd = -1;  // -1 for a queue overflow
  uint32_t mask = 0;
  uint32_t cookie = 0;
  std::string name;  // relative to the watched directory; empty for the directory itself
};

class Inotify {
 public:
  // Opens the instance and its wake-up descriptor; Error() tells when that failed.
  Inotify();
  Inotify(const Inotify&) = delete;
  Inotify& operator=(const Inotify&) = delete;

  bool Valid() const { return fd_.Valid() && wake_.Valid(); }
  int Error() const { return error_; }

  // Watches one directory. Returns the watch descriptor (the same one again for a
  // directory already watched), or -errno: ENOSPC when the per-user watch limit is
  // reached, ENOTDIR, ENOENT, EACCES.
  int AddWatch(const std::string& path, uint32_t mask);
  void RemoveWatch(int wd);

  // Waits until events arrive, Wake() is called or `timeoutMs` passes (-1: no limit),
  // then appends every event that can be read without waiting. Returns 0, or -errno
  // when reading failed. `*woken` tells whether Wake() was called since the last wait.
  int Wait(int timeoutMs, std::vector<InotifyEvent>* events, bool* woken);
  // Makes a waiting (or the next) Wait return. Safe from any thread.
  void Wake();

  // Test hooks. Injected events are returned by the next Wait before the kernel's, as if
  // the kernel had queued them. The add-watch hook is asked before each watch is added:
  // a nonzero errno value makes AddWatch fail with it.
  void InjectForTest(const InotifyEvent& event);
  void SetAddWatchHookForTest(std::function<int(const std::string& path)> hook);

 private:
  void ReadAvailable(std::vector<InotifyEvent>* events, int* error);

  UniqueFd fd_;
  UniqueFd wake_;
  int error_ = 0;
  std::mutex hookMutex_;
  std::deque<InotifyEvent> injected_;
  std::function<int(const std::string&)> addWatchHook_;
};

// The per-user watch limit (fs.inotify.max_user_watches), or -1 when it cannot be read.
long InotifyMaxUserWatches();

}  // namespace platform
