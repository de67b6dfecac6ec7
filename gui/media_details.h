// The media information dialog's work without the dialog: the tags shown for a file,
// and saving edited tags to the file and to every library row of the file.
#pragma once

#include <string>

#include "media/tag_texts.h"

using MediaDetails = WMTagTexts;

// The file's tags as the tag reader gives them (empty texts for a file it cannot read).
MediaDetails ReadMediaDetails(const std::string& path);

// Writes the four tags into the file, then sets them on every library row of the file.
// False when the file cannot be written; the library is then left as it was, so that it
// never shows tags the file does not hold.
bool SaveMediaDetails(const std::string& path, const MediaDetails& details);
