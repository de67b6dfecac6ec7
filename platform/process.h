// Child processes: the encoder and the auxiliary web server.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

// Splits a command line into arguments the way a Windows program's C runtime does, so
// the command lines the system forms reach the child as the same arguments:
//  - Outside double quotes, spaces and tabs separate arguments; runs of them count once.
//  - A double quote toggles quoting; quoted spaces belong to the argument; "" outside
//    quotes gives an empty argument; inside quotes "" is one literal quote.
//  - 2n backslashes followed by a quote give n backslashes and the quote toggles;
//    2n+1 backslashes followed by a quote give n backslashes and a literal quote.
//  - Backslashes not followed by a quote are kept as they are.
//  - The first argument (the program name) is special: quotes toggle quoting and are
//    dropped, it ends at the first space or tab outside quotes, and backslashes are
//    plain characters there.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Where a child's standard output or error goes.
struct Redirect {
  enum class Kind { kInherit, kNull, kFile, kDescriptor };
  Kind kind = Kind::kInherit;
  std::string path;  // For kFile: created or truncated.
  int fd = -1;       // For kDescriptor: one of ours, such as a pipe's end.

  static Redirect Null() { return {Kind::kNull, {}}; }
  static Redirect File(std::string filePath) { return {Kind::kFile, std::move(filePath)}; }
  static Redirect Descriptor(int descriptor) { return {Kind::kDescriptor, {}, descriptor}; }
};

struct ProcessOptions {
  std::string workingDirectory;  // Empty: the parent's.
  // A descriptor of ours the child reads as its standard input; -1: /dev/null.
  int input = -1;
  Redirect output;
  Redirect error;
  // A program name without "/" is looked up in PATH.
  bool searchPath = false;
  // The child leads a process group of its own, and signals to end it go to the whole
  // group, so helpers it starts end with it.
  bool ownProcessGroup = false;
  // The child is killed (SIGKILL) when the thread that started it ends, however the
  // process ends: a helper server must not outlive us. Start such a child from the main
  // thread, whose end is the process's.
  bool endWithParent = false;
};

// One child process, started with posix_spawn. The child inherits no descriptor but
// 0, 1 and 2 (standard input is /dev/null unless ProcessOptions.input says otherwise), starts with
// default signal handling and an empty signal mask. Every path reaps the child: no zombie is left
// behind. Not copyable. The calls may come from several threads (a reader asking IsRunning while
// another thread terminates).
class Process {
 public:
  Process() = default;
  // A child that still runs is asked to end (SIGTERM), killed after a grace time and
  // reaped.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts `program` (a path; no search) with argv[0] = `program` followed by `args`.
  // Returns 0 or the errno value of the failure. Fails with EBUSY when this object
  // already holds a child.
  int Start(const std::string& program, const std::vector<std::string>& args,
            const ProcessOptions& options = {});

  // Starts `program` with the arguments of `commandLine` split by SplitCommandLine;
  // the first of them is the child's argv[0], as a Windows program would see it.
  int StartCommandLine(const std::string& program, std::string_view commandLine,
                       const ProcessOptions& options = {});

  // True while a started child has not ended.
  bool IsRunning();

  // The exit status once the child has ended; 128 + the signal number when a signal
  // ended it; -1 when it was reaped elsewhere (SIGCHLD ignored); nothing while it runs
  // or when none was started.
  std::optional<int> ExitCode();

  // Waits at most `timeoutMs` (negative: without limit) for the child to end. True
  // when it has ended (or none was started).
  bool Wait(int timeoutMs);

  // Sends SIGTERM, waits up to `graceMs`, then SIGKILL, and reaps the child. Returns
  // the exit code as ExitCode() gives it (nothing when none was started).
  std::optional<int> Terminate(int graceMs);

  // Kills the child (SIGKILL) and lets it go without waiting for its end, which a child
  // at idle priority may be slow to reach on a busy machine. Only for a process that is
  // ending: the child is reaped when this process is gone.
  void Abandon();

  // The child's process id while it has not been reaped, else 0.
  pid_t Pid() const;

 private:
  int StartArgv(const std::string& program, const std::vector<std::string>& argv,
                const ProcessOptions& options);
  // These expect mutex_ held.
  bool ReapLocked(bool block);
  void SignalLocked(int signal);

  mutable std::mutex mutex_;
  pid_t pid_ = 0;
  bool reaped_ = true;
  bool group_ = false;
  int exitCode_ = 0;
  UniqueFd pidFd_;  // A pollable handle on the child when the kernel offers one.
};

// The outcome of RunToEnd.
struct RunResult {
  bool started = false;  // the program could be started
  bool exited = false;   // it ended by itself within the time (exitCode is valid)
  int exitCode = -1;
  bool timedOut = false;  // it was ended: SIGTERM, then SIGKILL after the grace time
};

// Runs argv[0] (looked up in PATH when it has no "/") with the rest of `argv` as its
// arguments, without a terminal (input, output and error are /dev/null), in a process
// group of its own, and waits until it ends or `timeoutMs` has passed; then the whole
// group is ended. The child is always reaped before this returns.
RunResult RunToEnd(const std::vector<std::string>& argv, int timeoutMs, int graceMs = 1000);

// Makes a write to a socket or pipe whose reader has gone fail with EPIPE instead of
// ending the whole process: a client that drops a stream must end only its own transfer,
// and a write to a pipe has no MSG_NOSIGNAL. Call it first in main, before any thread
// starts.
// Children started with Process get the default handling back.
void IgnoreBrokenPipes();

// Gives the memory the allocator holds free (in every thread's arena) back to the system:
// after a scan the server rests for hours, and what the scan freed would otherwise stay
// resident.
void ReleaseFreeMemory();

// A descriptor that becomes readable when process `pid` ends (a pidfd); invalid where the
// kernel has none or the process is gone.
UniqueFd OpenProcessFd(pid_t pid);

// Replaces this process with the program at `path` when that is an executable file,
// passing `argv` (argv[0] first, ended by a null pointer) and the environment as they
// are. Returns only when it is not executable or the replacement failed; the caller then
// goes on as it was.
void ReplaceProcessWith(const std::string& path, char** argv);

}  // namespace platform
