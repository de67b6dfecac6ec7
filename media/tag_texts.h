// The four text tags of a media file that a user sees and may edit. The tag reader fills
// them, the media information dialog shows and edits them and the tag writer puts them
// back, all through this one struct, so no step copies them field by field.
#pragma once

#include <string>

struct WMTagTexts {
  std::string Title;
  std::string Author;
  std::string Album;
  std::string Genre;
};
