#include "platform/process.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/limits.h"
#include "platform/tick.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Signals whose handling the child must not take over from us: a server ignores
// SIGPIPE, and ignored signals survive exec.
const int kDefaultSignals[] = {SIGPIPE, SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,
                               SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM, SIGTSTP};

class SpawnActions {
 public:
  SpawnActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* Get() { return &actions_; }
  bool ok() const { return ok_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* Get() { return &attributes_; }
  bool ok() const { return ok_; }

 private:
  posix_spawnattr_t attributes_;
  bool ok_ = false;
};

int AddRedirect(posix_spawn_file_actions_t* actions, int fd, const Redirect& redirect) {
  switch (redirect.kind) {
    case Redirect::Kind::kInherit:
      return 0;
    case Redirect::Kind::kNull:
      return ::posix_spawn_file_actions_addopen(actions, fd, "/dev/null", O_WRONLY, 0);
    case Redirect::Kind::kFile:
      if (redirect.path.empty()) return EINVAL;
      return ::posix_spawn_file_actions_addopen(actions, fd, redirect.path.c_str(),
                                                O_WRONLY | O_CREAT | O_TRUNC, 0644);
    case Redirect::Kind::kDescriptor:
      return redirect.fd < 0 ? EINVAL
                             : ::posix_spawn_file_actions_adddup2(actions, redirect.fd, fd);
  }
  return EINVAL;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int SpawnChild(const std::string& program, char* const* argv, const ProcessOptions& options,
               pid_t* pid) {
  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) return ENOMEM;
  int rc = options.input >= 0
               ? ::posix_spawn_file_actions_adddup2(actions.Get(), options.input, STDIN_FILENO)
               : ::posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null",
                                                    O_RDONLY, 0);
  if (rc == 0) rc = AddRedirect(actions.Get(), STDOUT_FILENO, options.output);
  if (rc == 0) rc = AddRedirect(actions.Get(), STDERR_FILENO, options.error);
  // After the redirections, so relative output paths mean the parent's directory.
  if (rc == 0 && !options.workingDirectory.empty()) {
    rc = ::posix_spawn_file_actions_addchdir_np(actions.Get(), options.workingDirectory.c_str());
  }
  // Nothing of ours leaks into the child: not the instance lock, not a socket.
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(actions.Get(), STDERR_FILENO + 1);
  if (rc != 0) return rc;

  sigset_t mask;
  sigemptyset(&mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : kDefaultSignals) sigaddset(&defaults, s);
  rc = ::posix_spawnattr_setsigmask(attributes.Get(), &mask);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(attributes.Get(), &defaults);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.ownProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    if (rc == 0) rc = ::posix_spawnattr_setpgroup(attributes.Get(), 0);
  }
  if (rc == 0) rc = ::posix_spawnattr_setflags(attributes.Get(), flags);
  if (rc != 0) return rc;
  return options.searchPath
             ? ::posix_spawnp(pid, program.c_str(), actions.Get(), attributes.Get(), argv, environ)
             : ::posix_spawn(pid, program.c_str(), actions.Get(), attributes.Get(), argv, environ);
}

// The program file a search in PATH finds, as posix_spawnp would take it.
std::string FindProgram(const std::string& program, bool searchPath) {
  if (!searchPath || program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    std::string_view directory = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    std::string candidate = std::string(directory.empty() ? "." : directory) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return program;
}

int OpenRedirect(const Redirect& redirect) {
  if (redirect.kind == Redirect::Kind::kDescriptor) return redirect.fd;
  if (redirect.kind == Redirect::Kind::kNull) return ::open("/dev/null", O_WRONLY);
  return ::open(redirect.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

// The child's side of ForkChild, between fork and exec: only async-signal-safe calls.
// A failure is reported to the parent as an errno value on `report`.
[[noreturn]] void ExecForked(const char* file, char* const* argv, const ProcessOptions& options,
                             pid_t parent, int report) {
  int error = 0;
  // The parent may have ended before the death signal was armed; then nobody is left to
  // send it.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) _exit(127);
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  for (int s : kDefaultSignals) ::sigaction(s, &defaultAction, nullptr);
  sigset_t mask;
  sigemptyset(&mask);
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  if (options.ownProcessGroup) ::setpgid(0, 0);
  int input = options.input >= 0 ? options.input : ::open("/dev/null", O_RDONLY);
  if (input < 0 || ::dup2(input, STDIN_FILENO) < 0) error = errno;
  const Redirect* redirects[] = {&options.output, &options.error};
  for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO && error == 0; ++fd) {
    const Redirect& redirect = *redirects[fd - STDOUT_FILENO];
    if (redirect.kind == Redirect::Kind::kInherit) continue;
    int opened = OpenRedirect(redirect);
    if (opened < 0 || ::dup2(opened, fd) < 0) error = errno;
  }
  if (error == 0 && !options.workingDirectory.empty() &&
      ::chdir(options.workingDirectory.c_str()) != 0) {
    error = errno;
  }
  if (error == 0) {
    // Nothing of ours leaks into the child; the report pipe closes on exec.
    if (report > STDERR_FILENO + 1) ::close_range(STDERR_FILENO + 1, report - 1, 0);
    ::close_range(report + 1, ~0U, 0);
    ::execve(file, argv, environ);
    error = errno;
  }
  [[maybe_unused]] ssize_t n = ::write(report, &error, sizeof error);
  _exit(127);
}

// Like SpawnChild, but the child is killed when the thread that starts it ends, which
// posix_spawn cannot arrange: fork, arm the parent-death signal, then exec.
int ForkChild(const std::string& program, char* const* argv, const ProcessOptions& options,
              pid_t* pid) {
  for (const Redirect* redirect : {&options.output, &options.error}) {
    if (redirect->kind == Redirect::Kind::kFile && redirect->path.empty()) return EINVAL;
    if (redirect->kind == Redirect::Kind::kDescriptor && redirect->fd < 0) return EINVAL;
  }
  std::string file = FindProgram(program, options.searchPath);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errno;
  UniqueFd reader(report[0]);
  UniqueFd writer(report[1]);
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child < 0) return errno;
  if (child == 0) ExecForked(file.c_str(), argv, options, parent, writer.Get());
  writer.Reset();
  int error = 0;
  ssize_t n;
  do {
    n = ::read(reader.Get(), &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  if (n == sizeof error && error != 0) {
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return error;
  }
  *pid = child;
  return 0;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t p = 0;
  size_t n = line.size();
  while (p < n && IsBlank(line[p])) ++p;
  if (p == n) return args;

  // The program name: quotes group, backslashes are ordinary characters.
  std::string arg;
  bool inQuotes = false;
  for (; p < n; ++p) {
    char c = line[p];
    if (c == '"') {
      inQuotes = !inQuotes;
      continue;
    }
    if (!inQuotes && IsBlank(c)) break;
    arg += c;
  }
  args.push_back(std::move(arg));

  inQuotes = false;
  for (;;) {
    while (p < n && IsBlank(line[p])) ++p;
    if (p == n) break;
    arg.clear();
    for (;;) {
      bool copy = true;
      size_t slashes = 0;
      while (p < n && line[p] == '\\') ++p, ++slashes;
      if (p < n && line[p] == '"') {
        if (slashes % 2 == 0) {
          if (inQuotes && p + 1 < n && line[p + 1] == '"') {
            ++p;  // "" inside quotes: one literal quote, still quoted.
          } else {
            copy = false;
            inQuotes = !inQuotes;
          }
        }
        slashes /= 2;
      }
      arg.append(slashes, '\\');
      if (p == n || (!inQuotes && IsBlank(line[p]))) break;
      if (copy) arg += line[p];
      ++p;
    }
    args.push_back(arg);
  }
  return args;
}

Process::~Process() { Terminate(kProcessDestroyGraceMs); }

int Process::Start(const std::string& program, const std::vector<std::string>& args,
                   const ProcessOptions& options) {
  std::vector<std::string> argv;
  argv.reserve(args.size() + 1);
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  return StartArgv(program, argv, options);
}

int Process::StartCommandLine(const std::string& program, std::string_view commandLine,
                              const ProcessOptions& options) {
  std::vector<std::string> argv = SplitCommandLine(commandLine);
  if (argv.empty()) argv.push_back(program);
  return StartArgv(program, argv, options);
}

int Process::StartArgv(const std::string& program, const std::vector<std::string>& argv,
                       const ProcessOptions& options) {
  std::lock_guard lock(mutex_);
  if (!reaped_) return EBUSY;
  pid_ = 0;  // A failed start leaves no trace of an earlier child.
  exitCode_ = 0;
  if (program.empty()) return EINVAL;
  std::vector<char*> pointers;
  pointers.reserve(argv.size() + 1);
  for (const std::string& a : argv) pointers.push_back(const_cast<char*>(a.c_str()));
  pointers.push_back(nullptr);

  pid_t pid = 0;
  int rc = options.endWithParent ? ForkChild(program, pointers.data(), options, &pid)
                                 : SpawnChild(program, pointers.data(), options, &pid);
  if (rc != 0) return rc;
  pid_ = pid;
  reaped_ = false;
  group_ = options.ownProcessGroup;
  // Only we reap the child, so its pid cannot be reused before this runs.
  pidFd_ = OpenProcessFd(pid);
  return 0;
}

bool Process::ReapLocked(bool block) {
  if (reaped_) return true;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  // ECHILD: the child was reaped behind our back (SIGCHLD ignored); it is gone.
  exitCode_ = r == pid_ ? DecodeStatus(status) : -1;
  reaped_ = true;
  pidFd_.Reset();
  return true;
}

void Process::SignalLocked(int signal) {
  // The child is not reaped yet, so pid_ still names it and no other process.
  if (!reaped_) ::kill(group_ ? -pid_ : pid_, signal);
}

pid_t Process::Pid() const {
  std::lock_guard lock(mutex_);
  return reaped_ ? 0 : pid_;
}

bool Process::IsRunning() {
  std::lock_guard lock(mutex_);
  return pid_ != 0 && !ReapLocked(false);
}

std::optional<int> Process::ExitCode() {
  std::lock_guard lock(mutex_);
  if (pid_ == 0 || !ReapLocked(false)) return std::nullopt;
  return exitCode_;
}

bool Process::Wait(int timeoutMs) {
  uint64_t deadline = timeoutMs < 0 ? UINT64_MAX : TickCountMs() + static_cast<uint64_t>(timeoutMs);
  int pause = 1;
  for (;;) {
    int fd;
    {
      std::lock_guard lock(mutex_);
      if (ReapLocked(false)) return true;
      fd = pidFd_.Get();
    }
    uint64_t now = TickCountMs();
    if (now >= deadline) return false;
    // Waiting happens without the lock, in slices: another thread may reap the child
    // and close the descriptor meanwhile, and the next look sees that.
    int slice = static_cast<int>(std::min<uint64_t>(deadline - now, kProcessWaitSliceMs));
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, slice);  // Readable once the child has ended.
    } else {
      SleepMs(static_cast<uint64_t>(std::min(pause, slice)));
      pause = std::min(pause * 2, kProcessPollMaxSleepMs);
    }
  }
}

std::optional<int> Process::Terminate(int graceMs) {
  {
    std::lock_guard lock(mutex_);
    if (pid_ == 0) return std::nullopt;
    if (reaped_) return exitCode_;
    SignalLocked(SIGTERM);
    SignalLocked(SIGCONT);  // A stopped child would not see SIGTERM before it continues.
  }
  Wait(graceMs);
  std::lock_guard lock(mutex_);
  if (!ReapLocked(false)) {
    SignalLocked(SIGKILL);
    ReapLocked(true);
  }
  return exitCode_;
}

void Process::Abandon() {
  std::lock_guard lock(mutex_);
  if (pid_ == 0 || ReapLocked(false)) return;
  SignalLocked(SIGKILL);
  // Counted as reaped, so that no later call waits for it (or, with pid 0, for any child).
  pid_ = 0;
  reaped_ = true;
  exitCode_ = -1;
  pidFd_.Reset();
}

RunResult RunToEnd(const std::vector<std::string>& argv, int timeoutMs, int graceMs) {
  RunResult result;
  if (argv.empty()) return result;
  ProcessOptions options;
  options.output = Redirect::Null();
  options.error = Redirect::Null();
  options.searchPath = true;
  options.ownProcessGroup = true;
  Process child;
  std::vector<std::string> args(argv.begin() + 1, argv.end());
  if (child.Start(argv[0], args, options) != 0) return result;
  result.started = true;
  if (child.Wait(timeoutMs)) {
    result.exited = true;
    result.exitCode = child.ExitCode().value_or(-1);
    return result;
  }
  result.timedOut = true;
  child.Terminate(graceMs);
  return result;
}

void IgnoreBrokenPipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

void ReleaseFreeMemory() { ::malloc_trim(0); }

UniqueFd OpenProcessFd(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

void ReplaceProcessWith(const std::string& path, char** argv) {
  if (::access(path.c_str(), X_OK) != 0) return;
  ::execv(path.c_str(), argv);
}

}  // namespace platform
