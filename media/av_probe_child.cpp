// Probing in a child process: the server asks, the child runs FFmpeg and answers.
//
// One socket pair carries both ways (the child's standard input and output are its one
// end), so that our writes to a child that died fail with EPIPE instead of a signal.
// A probe travels as one letter ('a' when the audio numbers are known already, else 'n')
// and the path, ended by a NUL; the answer is kAnswerFields texts, each ended by a NUL:
// "1" or "0" (opened or not), the duration in microseconds, the bit rate, then the tags.
// FFmpeg's tags are C strings, so no field holds a NUL of its own.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "media/av_probe.h"
#include "platform/log.h"
#include "platform/process.h"
#include "platform/tick.h"
#include "platform/unique_fd.h"

namespace media {
namespace {

constexpr size_t kAnswerFields = 9;
// A file that keeps a demuxer busy longer than this costs its own numbers and tags; the
// child is ended and the next probe starts a new one.
constexpr int kProbeLimitMs = 30000;
constexpr int kTerminateGraceMs = 200;
// Far above any real answer (nine short texts); a longer one means the child is broken.
constexpr size_t kAnswerLimit = size_t{1} << 20;

struct Child {
  std::mutex mutex;
  std::string program;  // empty: probe in this process
  platform::Process process;
  platform::UniqueFd socket;  // our end; valid while the child runs
  uint64_t lastUseMs = 0;
};

Child& TheChild() {
  static Child child;
  return child;
}

void EndLocked(Child& child) {
  child.socket.Reset();  // the child sees its input end and leaves by itself
  child.process.Terminate(kTerminateGraceMs);
}

bool StartLocked(Child& child) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  platform::UniqueFd ours(ends[0]);
  platform::UniqueFd theirs(ends[1]);
  platform::ProcessOptions options;
  options.input = theirs.Get();
  options.output = platform::Redirect::Descriptor(theirs.Get());
  options.error = platform::Redirect::Null();
  int error = child.process.Start(child.program, {kMediaProbeFlag}, options);
  if (error != 0) {
    platform::Logf("metadata: cannot start %s: %s\n", child.program.c_str(), std::strerror(error));
    return false;
  }
  child.socket = std::move(ours);
  return true;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads one whole answer, or fails at the deadline, at the end of the stream or on garbage.
bool ReceiveAnswer(int fd, uint64_t deadlineMs, std::string* answer) {
  size_t ends = 0;
  char buffer[4096];
  while (ends < kAnswerFields) {
    uint64_t now = platform::TickCountMs();
    if (now >= deadlineMs) return false;
    pollfd ready{fd, POLLIN, 0};
    int polled = ::poll(&ready, 1, static_cast<int>(deadlineMs - now));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    for (ssize_t i = 0; i < n; ++i) ends += buffer[i] == '\0';
    // One request is in flight at a time, so nothing may follow the last field.
    if (ends > kAnswerFields) return false;
    answer->append(buffer, static_cast<size_t>(n));
    if (answer->size() > kAnswerLimit) return false;
  }
  return answer->back() == '\0';
}

std::vector<std::string> Fields(const std::string& answer) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end; (end = answer.find('\0', start)) != std::string::npos; start = end + 1) {
    fields.push_back(answer.substr(start, end - start));
  }
  return fields;
}

std::string Encode(bool opened, const AvProbeResult& r) {
  std::string answer;
  for (const std::string& field :
       {std::string(opened ? "1" : "0"), std::to_string(r.durationUs), std::to_string(r.bitRate),
        r.title, r.album, r.artist, r.genre, r.track, r.date}) {
    answer += field;
    answer += '\0';
  }
  return answer;
}

bool Decode(const std::string& answer, AvProbeResult* r) {
  std::vector<std::string> f = Fields(answer);
  if (f.size() != kAnswerFields || f[0] != "1") return false;
  r->durationUs = std::strtoll(f[1].c_str(), nullptr, 10);
  r->bitRate = std::strtoll(f[2].c_str(), nullptr, 10);
  r->title = std::move(f[3]);
  r->album = std::move(f[4]);
  r->artist = std::move(f[5]);
  r->genre = std::move(f[6]);
  r->track = std::move(f[7]);
  r->date = std::move(f[8]);
  return true;
}

// The child's part of one probe: false when the file did not open, or, with the child
// ended, when the child did not answer.
bool AskLocked(Child& child, const std::string& path, bool audioPropertiesKnown,
               AvProbeResult* result) {
  std::string request(1, audioPropertiesKnown ? 'a' : 'n');
  request += path;
  request += '\0';
  std::string answer;
  if (!SendAll(child.socket.Get(), request) ||
      !ReceiveAnswer(child.socket.Get(), platform::TickCountMs() + kProbeLimitMs, &answer)) {
    platform::Logf("metadata: the probe of %s did not finish\n", path.c_str());
    EndLocked(child);
    return false;
  }
  return Decode(answer, result);
}

}  // namespace

bool AvProbe_Read(const std::string& path, AvProbeResult* result, bool audioPropertiesKnown) {
  *result = AvProbeResult();
  // A path with a NUL cannot name a file, and would end the request early.
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  Child& child = TheChild();
  std::unique_lock lock(child.mutex);
  if (child.program.empty()) {
    lock.unlock();
    return AvProbe_ReadHere(path, result, audioPropertiesKnown);
  }
  // A child that died since its last answer (killed, out of memory) is replaced.
  if (child.socket.Valid() && !child.process.IsRunning()) EndLocked(child);
  if (!child.socket.Valid() && !StartLocked(child)) {
    lock.unlock();
    return AvProbe_ReadHere(path, result, audioPropertiesKnown);
  }
  bool opened = AskLocked(child, path, audioPropertiesKnown, result);
  child.lastUseMs = platform::TickCountMs();
  return opened;
}

void AvProbe_UseChild(const std::string& program) {
  Child& child = TheChild();
  std::lock_guard lock(child.mutex);
  if (child.socket.Valid()) EndLocked(child);
  child.program = program;
}

void AvProbe_EndIdleChild(uint64_t idleMs) {
  Child& child = TheChild();
  // A probe that runs holds the lock for up to kProbeLimitMs: never wait for it here.
  std::unique_lock lock(child.mutex, std::try_to_lock);
  if (!lock.owns_lock() || !child.socket.Valid()) return;
  if (platform::TickCountMs() - child.lastUseMs >= idleMs) EndLocked(child);
}

int AvProbe_ServeChild() {
  std::string pending;
  char buffer[4096];
  for (;;) {
    size_t end;
    while ((end = pending.find('\0')) != std::string::npos) {
      std::string request = pending.substr(0, end);
      pending.erase(0, end + 1);
      AvProbeResult result;
      bool opened =
          request.size() > 1 && AvProbe_ReadHere(request.substr(1), &result, request[0] == 'a');
      std::string answer = Encode(opened, result);
      for (size_t sent = 0; sent < answer.size();) {
        ssize_t n = ::write(STDOUT_FILENO, answer.data() + sent, answer.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        sent += static_cast<size_t>(n);
      }
    }
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;  // the server is done with us, or gone
    pending.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace media
