#include "platform/app_directory.h"

#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/path.h"

namespace platform {
namespace {

std::string g_appDirectory;

// Where an installed tree keeps what ships with the programs, relative to bin/.
constexpr const char* kShippedDirectories[] = {"", "/../lib/orvex", "/../share/orvex"};
// A file every build tree puts beside the server; an executable's folder that lacks it is
// an installed bin/ and no place for a library.
constexpr const char* kBuildTreeMarker = "mime.types";
// The folder under the user's data directory.
constexpr const char* kDataFolder = "/orvex";

std::string Absolute(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return path;
  return std::string(WithoutTrailingSlashes(p.lexically_normal().string()));
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string UserHome() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  const passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "/";
}

// The per-user data directory. A relative $XDG_DATA_HOME is invalid and ignored, as the
// base directory rules ask.
std::string UserDataDirectory() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + kDataFolder;
  return UserHome() + "/.local/share" + kDataFolder;
}

std::string DefaultAppDirectory() {
  std::string beside = ExecutableDirectory();
  if (::access(beside.c_str(), W_OK) == 0 && Exists(beside + "/" + kBuildTreeMarker)) {
    return beside;
  }
  return UserDataDirectory();
}

}  // namespace

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

std::string ExecutableDirectory() {
  std::string path = ExecutablePath();
  if (path.empty()) return ".";
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ShippedFilePath(std::string_view name) {
  std::string executableDirectory = ExecutableDirectory();
  for (const char* folder : kShippedDirectories) {
    std::string path = Absolute(executableDirectory + folder + "/" + std::string(name));
    if (Exists(path)) return path;
  }
  return executableDirectory + "/" + std::string(name);
}

std::string ProgramFilePath(std::string_view name) {
  std::string own = AppPath(name);
  if (Exists(own)) return own;
  return ShippedFilePath(name);
}

void InitAppDirectory(const std::string& homeOption) {
  if (!homeOption.empty()) {
    g_appDirectory = Absolute(homeOption);
    return;
  }
  const char* env = std::getenv("MIRELLE_HOME");
  if (env != nullptr && *env != '\0') {
    g_appDirectory = Absolute(env);
    return;
  }
  g_appDirectory = Absolute(DefaultAppDirectory());
}

bool PrepareAppDirectory(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(g_appDirectory, ec);
  if (ec || !std::filesystem::is_directory(g_appDirectory, ec)) {
    if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
    *error = "cannot create the program directory " + g_appDirectory + ": " + ec.message();
    return false;
  }
  if (::access(g_appDirectory.c_str(), W_OK | X_OK) != 0) {
    *error = "cannot write to the program directory " + g_appDirectory + ": " +
             std::error_code(errno, std::generic_category()).message();
    return false;
  }
  return true;
}

const std::string& AppDirectory() { return g_appDirectory; }

std::string AppPath(std::string_view name) {
  std::string path = g_appDirectory;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

}  // namespace platform
