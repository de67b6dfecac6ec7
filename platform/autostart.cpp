#include "platform/autostart.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {
namespace {

constexpr const char* kEntryName = "Orvex.desktop";

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return std::string();
}

// XDG_CONFIG_HOME counts only when it is absolute, as the base directory rules say.
std::string ConfigHome() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  std::string home = HomeDirectory();
  if (home.empty()) return home;
  if (home.back() != '/') home.push_back('/');
  return home + ".config";
}

bool MakeDirectories(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes through a temporary file and a rename, so a crash leaves the old entry or the
// new one, never half a file that the session would try to run.
bool WriteFileAtomically(const std::string& path, const std::string& data) {
  std::string temporary = path + ".tmp";
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.Valid()) return false;
  bool ok = WriteAll(fd.Get(), data) && ::fsync(fd.Get()) == 0;
  fd.Reset();
  if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace

std::string AutostartEntryPath() {
  std::string config = ConfigHome();
  if (config.empty()) return config;
  if (config.back() != '/') config.push_back('/');
  return config + "autostart/" + kEntryName;
}

std::string AutostartExecValue(const std::string& programPath) {
  // Two layers of escaping: inside the quoted argument '"', '`', '$' and '\' take a
  // backslash; then the value itself doubles every backslash. '%' starts a field code
  // and is written "%%".
  std::string value = "\"";
  for (char c : programPath) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::string();
    switch (c) {
      case '"':
        value += "\\\\\"";
        break;
      case '`':
        value += "\\\\`";
        break;
      case '$':
        value += "\\\\$";
        break;
      case '\\':
        value += "\\\\\\\\";
        break;
      case '%':
        value += "%%";
        break;
      default:
        value += c;
    }
  }
  value += '"';
  return value;
}

bool SetAutostart(bool enable, const std::string& programPath) {
  std::string path = AutostartEntryPath();
  if (path.empty()) return false;
  if (!enable) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
  std::string exec = AutostartExecValue(programPath);
  if (exec.empty() || programPath.empty()) return false;
  if (!MakeDirectories(path.substr(0, path.rfind('/')))) return false;
  std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Orvex Media Server\n"
      "Exec=" +
      exec +
      "\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  return WriteFileAtomically(path, entry);
}

}  // namespace platform
