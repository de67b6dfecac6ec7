#include "platform/path.h"

namespace platform {

std::string_view PathExtension(std::string_view path) {
  // Back from the end: a dot met before any separator starts the extension.
  for (size_t i = path.size(); i-- > 0;) {
    if (path[i] == '.') return path.substr(i);
    if (path[i] == '/' || path[i] == '\\') return {};
  }
  return {};
}

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace platform
