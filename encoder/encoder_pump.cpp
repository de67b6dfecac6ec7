#include "encoder/encoder_pump.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "transcode/transcode_limits.h"
#include "transcode/transcode_ring.h"

namespace tl = transcode_limits;
using transcode::SharedMutex;

namespace {

// Watches the server: a pidfd becomes readable when it ends; the parent pid check
// covers kernels without pidfds and a server that ended before the pidfd was opened.
class ServerWatch {
 public:
  explicit ServerWatch(pid_t pid) : pid_(pid), fd_(platform::OpenProcessFd(pid)) {}
  int Fd() const { return fd_.Get(); }
  bool Gone() const {
    if (::getppid() != pid_) return true;
    if (!fd_.Valid()) return false;
    pollfd entry{fd_.Get(), POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
  }

 private:
  pid_t pid_;
  platform::UniqueFd fd_;
};

// A private directory holding the FIFO that carries the converter's output. The FIFO is
// opened by both ends before the directory is removed, so nothing stays on disk.
class OutputFifo {
 public:
  ~OutputFifo() { RemoveFiles(); }
  bool Create() {
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "orvex-enc-XXXXXX").string();
    if (ec || ::mkdtemp(pattern.data()) == nullptr) return false;
    directory_ = pattern;
    path_ = directory_ + "/out";
    if (::mkfifo(path_.c_str(), 0600) != 0) return false;
    // Non-blocking, so that this open does not wait for the writer and reads never
    // block the loop.
    reader_.Reset(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return reader_.Valid();
  }
  const std::string& Path() const { return path_; }
  int Reader() const { return reader_.Get(); }
  void RemoveFiles() {
    std::error_code ec;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ec);
    directory_.clear();
  }

 private:
  std::string directory_;
  std::string path_;
  platform::UniqueFd reader_;
};

struct Pump {
  const EncoderJob& job;
  const std::atomic<bool>& terminate;
  ServerWatch server;
  transcode::SharedArea area;
  transcode::RingView ring;
  SharedMutex mutex;
  OutputFifo fifo;
  platform::Process converter;
  std::vector<uint8_t> pending = std::vector<uint8_t>(tl::kEncoderCopyChunk);
  size_t pendingBegin = 0;
  size_t pendingEnd = 0;
  bool inputEnded = false;

  Pump(const EncoderJob& j, pid_t serverPid, const std::atomic<bool>& t)
      : job(j), terminate(t), server(serverPid) {}

  bool Open(const char* converterName) {
    int error = area.Open(job.sharedName, tl::kAreaSize);
    if (error != 0) {
      platform::Logf("ZerazU.eng: cannot open shared area %s (%d)\n", job.sharedName.c_str(),
                     error);
      return false;
    }
    ring = transcode::RingView(area.Data(), tl::kRingSize);
    std::string mutexName = ring.MutexName();
    if (ring.HeaderRingSize() != tl::kRingSize || mutexName.empty()) {
      platform::Log("ZerazU.eng: the shared area's header is not valid\n");
      return false;
    }
    if ((error = mutex.Open(mutexName)) != 0) {
      platform::Logf("ZerazU.eng: cannot open mutex %s (%d)\n", mutexName.c_str(), error);
      return false;
    }
    if (!fifo.Create()) {
      platform::Log("ZerazU.eng: cannot create the output FIFO\n");
      return false;
    }
    platform::ProcessOptions options;
    options.searchPath = true;
    options.output = platform::Redirect::File(fifo.Path());
    error = converter.Start(converterName, ConverterArguments(job), options);
    fifo.RemoveFiles();
    if (error != 0) {
      platform::Logf("ZerazU.eng: cannot start %s (%d)\n", converterName, error);
      return false;
    }
    return true;
  }

  // Takes the mutex in short slices so a signal or the server's end is still noticed.
  bool Lock() {
    for (;;) {
      SharedMutex::LockResult result = mutex.Lock(tl::kMutexWaitMs);
      if (result == SharedMutex::LockResult::kAcquired ||
          result == SharedMutex::LockResult::kAbandoned) {
        return true;
      }
      if (result == SharedMutex::LockResult::kFailed || terminate.load() || server.Gone()) {
        return false;
      }
    }
  }

  // One look at the ring: honours a stop request, else moves pending bytes in. Returns
  // false when the pump must end (`*result` says why).
  bool Exchange(PumpResult* result) {
    if (!Lock()) {
      *result = PumpResult::kServerGone;
      return false;
    }
    if (ring.State() == tl::kStateStopRequested) {
      mutex.Unlock();
      converter.Terminate(tl::kConverterGraceMs);
      if (Lock()) {
        ring.SetState(tl::kStateStopped);
        mutex.Unlock();
      }
      *result = PumpResult::kStopRequested;
      return false;
    }
    if (!ring.OffsetsValid()) {
      mutex.Unlock();
      platform::Log("ZerazU.eng: the ring's offsets are damaged\n");
      *result = PumpResult::kSetupFailed;
      return false;
    }
    pendingBegin += ring.Write(pending.data() + pendingBegin, pendingEnd - pendingBegin);
    mutex.Unlock();
    return true;
  }

  // Waits for converter output (or, with bytes still pending, for the ring to drain)
  // and reads what came.
  void Fill() {
    bool havePending = pendingBegin < pendingEnd;
    pollfd entries[2] = {{server.Fd(), POLLIN, 0}, {fifo.Reader(), POLLIN, 0}};
    int count = havePending || inputEnded ? 1 : 2;
    ::poll(entries, count, havePending ? tl::kEncoderFullRingPollMs : tl::kEncoderPollMs);
    if (count < 2 || (entries[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    ssize_t n = ::read(fifo.Reader(), pending.data(), pending.size());
    if (n > 0) {
      pendingBegin = 0;
      pendingEnd = static_cast<size_t>(n);
    } else if (n == 0) {
      inputEnded = true;
    } else if (errno != EAGAIN && errno != EINTR) {
      inputEnded = true;
    }
  }

  PumpResult Run() {
    PumpResult result = PumpResult::kEnded;
    for (;;) {
      if (terminate.load() || server.Gone()) {
        result = PumpResult::kServerGone;
        break;
      }
      if (!Exchange(&result)) break;
      if (inputEnded && pendingBegin == pendingEnd) break;
      Fill();
    }
    // A converter whose output has ended is exiting by itself; give it the time.
    if (result == PumpResult::kEnded) converter.Wait(tl::kConverterGraceMs);
    converter.Terminate(tl::kConverterGraceMs);
    return result;
  }
};

}  // namespace

PumpResult RunEncoderJob(const EncoderJob& job, pid_t serverPid, const std::atomic<bool>& terminate,
                         const char* converter) {
  Pump pump(job, serverPid, terminate);
  if (!pump.Open(converter)) return PumpResult::kSetupFailed;
  return pump.Run();
}
