#include "platform/host.h"

#include <limits.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/unique_fd.h"

namespace platform {

std::string ComputerName() {
  char buffer[HOST_NAME_MAX + 2] = {};
  // The buffer has room beyond the longest name, so the result is always terminated.
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::string();
  std::string name(buffer);
  size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// Connects to a Unix-domain socket; an address that begins with a zero byte is abstract.
bool Accepts(const std::string& address) {
  sockaddr_un where{};
  where.sun_family = AF_UNIX;
  if (address.empty() || address.size() >= sizeof where.sun_path) return false;
  std::memcpy(where.sun_path, address.data(), address.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return false;
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
  return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&where), length) == 0;
}

bool WaylandReachable(const std::string& display) {
  if (display.front() == '/') return Accepts(display);
  std::string runtime = Variable("XDG_RUNTIME_DIR");
  return !runtime.empty() && Accepts(runtime + "/" + display);
}

// DISPLAY is [host]:number[.screen]; a local display listens on /tmp/.X11-unix/X<number>,
// as a path, as an abstract name, or both.
bool X11Reachable(const std::string& display) {
  size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  std::string path = "/tmp/.X11-unix/X" + number;
  return Accepts(path) || Accepts(std::string(1, '\0') + path);
}

}  // namespace

bool DisplayReachable() {
  if (!Variable("QT_QPA_PLATFORM").empty()) return true;
  std::string wayland = Variable("WAYLAND_DISPLAY");
  if (!wayland.empty() && WaylandReachable(wayland)) return true;
  std::string x11 = Variable("DISPLAY");
  return !x11.empty() && X11Reachable(x11);
}

}  // namespace platform
