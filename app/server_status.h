// The answer of `mirelle --status`, for the server of a program directory whether it
// runs or not: what is shared (read from the library), and what only a running copy
// knows (its ports, the UDN it announces, the transfers in progress), which that copy
// tells over its single-instance socket. Every line is "key: value", so scripts can read
// it; the keys are fixed.
#pragma once

#include <string>

// The running copy's part of the status: the UDN it announces (while the device runs),
// the web, stream and lighttpd ports ("none" for one that is not up), and the transfers
// in progress, one line each. Any thread.
std::string ServerStatusAnswer();

// Prints the status of the server of the program directory (InitAppDirectory) to
// standard output, never writing the library or the directory. 0 when the library could
// be read, else 1 with a message on standard error.
int PrintServerStatus();
