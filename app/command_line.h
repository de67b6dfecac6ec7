// The program's command line.
#pragma once

#include <string>
#include <vector>

#include "app/settings_commands.h"
#include "internet/stream_commands.h"

struct CommandLine {
  std::string home;        // --home DIR
  bool headless = false;   // --headless
  bool nameGiven = false;  // --name NAME
  std::string name;
  bool help = false;
  bool version = false;
  bool printUdn = false;  // --print-udn
  bool status = false;    // --status

  // Settings by name, read or changed on the library, then the program exits: every
  // --set first (all or none), then each --get, then --settings lists them all.
  std::vector<SettingChange> set;  // --set KEY=VALUE
  std::vector<std::string> get;    // --get KEY
  bool listSettings = false;       // --settings
  // --config FILE: settings applied at start-up; default kDefaultConfigFile when present.
  std::string config;

  // Library changes carried out at start-up, before the service starts, in this order:
  // clear, unshare, share, refresh, rescan. Paths are made absolute.
  bool clear = false;                 // --clear
  std::vector<std::string> unshare;   // --unshare DIR
  std::vector<std::string> share;     // --share DIR
  std::vector<std::string> refresh;   // --refresh DIR
  bool rescan = false;                // --rescan
  bool scanOnly = false;              // --scan-only: exit after the changes

  // Internet streams, changed in the order given, then listed: each --add-stream URL or
  // --remove-stream URL takes the --title T (default: the URL) and the --kind audio|video
  // (required) that follow it.
  std::vector<StreamCommand> streams;
  bool listStreams = false;  // --list-streams
};

// Parses argv. On a bad option returns false with a one-line message in *error.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error);

// The text printed by --help.
std::string CommandLineUsage();
