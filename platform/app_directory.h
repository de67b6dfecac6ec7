// The program directory: where the library file and the working directories thumbnail/,
// cache/ and etc/ are, and where a user may put their own language file, MIME table or
// encoder in place of the shipped ones.
#pragma once

#include <string>

namespace platform {

// Decides the directory once at start-up: `homeOption` (from --home) when not empty,
// else $MIRELLE_HOME when set and not empty, else the directory of the running
// executable when it is writable and holds the shipped files (a build tree), else
// $XDG_DATA_HOME/orvex (by default ~/.local/share/orvex). The result is absolute and has
// no trailing "/" (except for "/" itself).
void InitAppDirectory(const std::string& homeOption);

// Creates the chosen directory (and its parents) when missing. False, with the reason in
// `error`, when it cannot be made or the program cannot write to it.
bool PrepareAppDirectory(std::string* error);

// The directory chosen by InitAppDirectory (UTF-8). Empty before it.
const std::string& AppDirectory();

// AppDirectory() joined with `name` by "/".
std::string AppPath(std::string_view name);

// The directory of the running executable (from /proc/self/exe).
std::string ExecutableDirectory();

// The full path of the running executable.
std::string ExecutablePath();

// A file that ships with the program, found relative to the executable: beside it (the
// build tree), else in ../lib/orvex (programs) or ../share/orvex (data) of an installed
// tree. When none exists, the path beside the executable.
std::string ShippedFilePath(std::string_view name);

// A shipped file (the encoder, the language file, the MIME table): the one in the program
// directory when it is there, so a user can replace it, else ShippedFilePath(name).
std::string ProgramFilePath(std::string_view name);

}  // namespace platform
