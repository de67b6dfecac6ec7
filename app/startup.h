// The program's entry and exit: single instance, working directories, the library, the
// first run, the counters and settings, the background workers, the service; then the
// run (window or headless) and the shutdown in its fixed order.
#pragma once

#include <string>

#include "app/command_line.h"

// Runs the whole program; returns the process exit status.
int ApplicationStart(const CommandLine& commandLine);

// The exit path of the window's and tray's Exit commands and of SIGINT/SIGTERM: stops
// the scanner and workers, stops the service, and ends the run. Safe from any thread.
void RequestExit();

// Pieces of start-up, exposed for tests.

// Deletes the files (not the subdirectories) of AppDirectory/thumbnail, stopping at the
// first file that cannot be deleted, then makes sure thumbnail/, cache/ and etc/ exist.
void PrepareWorkingDirectories();

// The first-run work when "RunFirstTime" is "TRUE": stores "FALSE", names the server
// after the stored name (or "Orvex DMS") and the computer, and builds the container
// tree. Returns true when it ran.
bool RunFirstTimeSetup(const std::string& computerName);
