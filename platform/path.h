// Text operations on paths: file system paths ("/m/a.mp3") and the library's name paths
// ("\12\a.mp3"), which separate their parts with "\".
#pragma once

#include <string_view>

namespace platform {

// The extension of the last part of `path`: its last "." and what follows, when that
// lies after the last "/" or "\"; empty otherwise.
std::string_view PathExtension(std::string_view path);

// `path` without trailing "/"; the root "/" stays as it is.
std::string_view WithoutTrailingSlashes(std::string_view path);

}  // namespace platform
