// The program's entry and exit: single instance, working directories, the library, the
// first run, the counters and settings, the background workers, the service; then the
// run (window or headless) and the shutdown in its fixed order.
#pragma once

#include <functional>
#include <string>

#include "app/command_line.h"

class CAppController;

// The desktop mode: the window and tray icon, installed by the program when it is built
// with them. Without it, or without a display, the program runs headless.
struct DesktopRunner {
  std::function<bool()> available;  // a display can be used
  // Runs the window until the user exits or `quitRequested` turns true; the exit status.
  std::function<int(CAppController& controller, std::function<bool()> quitRequested)> run;
  std::function<void()> show;  // another copy asked to see the window; any thread
};
void InstallDesktopRunner(DesktopRunner runner);

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
