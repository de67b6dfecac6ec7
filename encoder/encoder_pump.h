// The encoder's work: run the converter and move its output into the shared ring until
// the input ends, the server asks for a stop, or the server goes away.
#pragma once

#include <sys/types.h>

#include <atomic>

#include "encoder/encoder_options.h"

// Why the pump ended. The values are the program's exit codes.
enum class PumpResult {
  kEnded = 0,          // the converter's output ended and all of it is in the ring
  kSetupFailed = 1,    // the area, mutex or converter could not be opened or started
  kServerGone = 3,     // the server process ended, or a termination signal arrived
  kStopRequested = 4,  // the server asked for a stop and was answered
};

// Runs `job`. `serverPid` is the process to watch; `terminate` is set by the program's
// signal handler. `converter` is the converter program's name (looked up in PATH).
PumpResult RunEncoderJob(const EncoderJob& job, pid_t serverPid, const std::atomic<bool>& terminate,
                         const char* converter);
