#include "platform/app_directory.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/path.h"

namespace platform {
namespace {

std::string g_appDirectory;

std::string Absolute(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return path;
  return std::string(WithoutTrailingSlashes(p.lexically_normal().string()));
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

std::string ProgramFilePath(std::string_view name) {
  std::string own = AppPath(name);
  if (::access(own.c_str(), F_OK) == 0) return own;
  return ExecutableDirectory() + "/" + std::string(name);
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
  g_appDirectory = ExecutableDirectory();
}

const std::string& AppDirectory() { return g_appDirectory; }

std::string AppPath(std::string_view name) {
  std::string path = g_appDirectory;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

}  // namespace platform
