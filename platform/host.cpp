#include "platform/host.h"

#include <limits.h>
#include <unistd.h>

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

}  // namespace platform
