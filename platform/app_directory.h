// The program directory: where the library file, the language file, the MIME table and
// the encoder live, and where the working directories thumbnail/, cache/ and etc/ are.
#pragma once

#include <string>

namespace platform {

// Decides the directory once at start-up: `homeOption` (from --home) when not empty,
// else $MIRELLE_HOME when set and not empty, else the directory of the running
// executable. The result is absolute and has no trailing "/" (except for "/" itself).
void InitAppDirectory(const std::string& homeOption);

// The directory chosen by InitAppDirectory (UTF-8). Empty before it.
const std::string& AppDirectory();

// AppDirectory() joined with `name` by "/".
std::string AppPath(std::string_view name);

// The directory of the running executable (from /proc/self/exe).
std::string ExecutableDirectory();

// The full path of the running executable.
std::string ExecutablePath();

// A file that ships with the program (the encoder, the language file, the MIME table):
// the one in the program directory when it is there, so a user can replace it, else the
// one installed beside the executable.
std::string ProgramFilePath(std::string_view name);

}  // namespace platform
