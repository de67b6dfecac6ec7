// Starting the program with the user's desktop session: an XDG autostart entry
// "$XDG_CONFIG_HOME/autostart/Orvex.desktop" (XDG_CONFIG_HOME defaults to ~/.config).
#pragma once

#include <string>

namespace platform {

// The entry's path, from the environment at the time of the call. Empty when neither
// XDG_CONFIG_HOME nor a home directory is known.
std::string AutostartEntryPath();

// Creates the entry (its Exec runs `programPath`, quoted) or removes it. Returns true
// when the entry is as asked afterwards: removing an absent entry succeeds. A path
// with control characters cannot be written into an entry and fails.
bool SetAutostart(bool enable, const std::string& programPath);

// The Exec value for `programPath`: the path in double quotes with the characters the
// desktop entry format reserves escaped. Empty when the path cannot be expressed.
std::string AutostartExecValue(const std::string& programPath);

}  // namespace platform
