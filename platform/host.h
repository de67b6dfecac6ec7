// Facts about the machine.
#pragma once

#include <string>

namespace platform {

// The machine's name as other computers on the network know it: the host name from
// gethostname() up to its first "." (the short name, like a Windows computer name).
// Empty when it cannot be read.
std::string ComputerName();

// True when a window could be shown: QT_QPA_PLATFORM names a platform, or the display
// that WAYLAND_DISPLAY or DISPLAY names accepts a connection. A display variable left
// behind by a session that has ended (or copied into a service's environment) names a
// socket nobody listens on; the window toolkit aborts the process on such a display, so
// the server runs without a window instead. A display on another host is taken on trust.
bool DisplayReachable();

}  // namespace platform
