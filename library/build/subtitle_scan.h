// The subtitle file beside each video: found while videos are stored, and kept current
// when subtitle files come and go, so that a Browse reads it from the library instead of
// listing folders.
#pragma once

#include <string>

// The file name of the subtitle that belongs to the video at `path`; empty when there is
// none. The folder is listed again only when it changed, so storing the videos of one
// folder one after another costs one listing.
std::string SubtitleScan_ForVideo(const std::string& path);

// After the file at `path` arrived or left: when it is a subtitle, every video row of its
// folder is given the subtitle that now belongs to it. Other files are left alone.
void SubtitleScan_Refresh(const std::string& path);
