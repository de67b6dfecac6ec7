// Facts about the machine.
#pragma once

#include <string>

namespace platform {

// The machine's name as other computers on the network know it: the host name from
// gethostname() up to its first "." (the short name, like a Windows computer name).
// Empty when it cannot be read.
std::string ComputerName();

}  // namespace platform
