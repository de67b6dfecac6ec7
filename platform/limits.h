// Limits and time-outs of the platform layer, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Single-instance guard. The lock and socket live in the program directory.
inline constexpr const char* kInstanceLockName = "Orvex.lock";
inline constexpr const char* kInstanceSocketName = "Orvex.sock";
// Prefix of the abstract socket name used when the directory path is too long for a
// socket path; a hash of the directory follows it.
inline constexpr const char* kInstanceAbstractPrefix = "orvex-instance-";
// The request a second copy sends and the answer the first copy gives.
inline constexpr const char* kInstanceShowRequest = "SHOW\n";
inline constexpr const char* kInstanceShowAnswer = "OK\n";
// The request of a status query; the running copy answers with its status text and
// closes the connection. A longer answer is cut.
inline constexpr const char* kInstanceStatusRequest = "STATUS\n";
inline constexpr size_t kInstanceStatusAnswerMaxBytes = 256 * 1024;
// How long a second copy keeps trying to reach the first one: it may hold the lock
// but not listen yet when both start at the same moment.
inline constexpr uint64_t kInstanceConnectTimeoutMs = 2000;
// How long either side waits for the other's request or answer on a connection.
inline constexpr int kInstanceExchangeTimeoutMs = 1000;
// The longest socket path that fits sockaddr_un (108 bytes with the terminator).
inline constexpr size_t kMaxSocketPathLength = 107;

// Processes.
// How long a Process's destructor lets a child that still runs end after SIGTERM
// before it is killed.
inline constexpr int kProcessDestroyGraceMs = 1000;
// Longest single wait of Process::Wait before it looks at the child again.
inline constexpr uint64_t kProcessWaitSliceMs = 100;
// Longest sleep between two looks at a child when no process descriptor is available.
inline constexpr int kProcessPollMaxSleepMs = 20;

// Threads. Linux keeps at most 15 bytes of a thread name.
inline constexpr size_t kMaxThreadNameLength = 15;
// How far "highest" priority lowers the nice value of a thread (when permitted).
inline constexpr int kHighestPriorityNiceDelta = 5;
// The nice value of an idle thread when SCHED_IDLE is refused.
inline constexpr int kIdleNiceValue = 19;

// Directory walks. Deeper trees are not entered, so a recursive walk cannot exhaust
// the stack on a pathological tree.
inline constexpr size_t kMaxWalkDepth = 128;

// Code pages. The text code page before a language is chosen.
inline constexpr int kDefaultTextCodePage = 1252;

}  // namespace platform
