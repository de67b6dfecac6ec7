#include "upnp/text_split.h"

FLibSplitList FLibText_Split(std::string_view text, std::string_view delimiter) {
  FLibSplitList pieces;
  if (delimiter.empty()) {
    pieces.push_back(text);
    return pieces;
  }
  size_t start = 0;
  for (;;) {
    const size_t hit = text.find(delimiter, start);
    if (hit == std::string_view::npos) break;
    pieces.push_back(text.substr(start, hit - start));
    start = hit + delimiter.size();
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

std::string_view FLibText_Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return text.substr(text.size());
  const size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}
