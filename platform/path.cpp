#include "platform/path.h"

namespace platform {

std::string_view PathExtension(std::string_view path) {
  size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos) return {};
  size_t separator = path.find_last_of("/\\");
  if (separator != std::string_view::npos && separator > dot) return {};
  return path.substr(dot);
}

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace platform
