// printf-style formatting into a std::string for the fixed message forms of the device.
#pragma once

#include <cstdio>
#include <string>

template <typename... Values>
std::string UpnpFormat(const char* format, Values... values) {
  char small[512];
  int length = std::snprintf(small, sizeof small, format, values...);
  if (length < 0) return {};
  if (static_cast<size_t>(length) < sizeof small)
    return std::string(small, static_cast<size_t>(length));
  std::string text(static_cast<size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, format, values...);
  return text;
}
