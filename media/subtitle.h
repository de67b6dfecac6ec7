// Subtitle files beside a video: "NAME.srt" (or .smi, .ass, .ssa, .vtt, .sub) or
// "NAME.LANG.srt" belongs to the video "NAME.ext" in the same folder. TVs fetch such a
// file with the video when the video's item points at it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace media {

// Whether a file name has one of the subtitle extensions (case ignored).
bool Subtitle_IsSubtitleName(std::string_view name);

// The subtitle among `names` (the file names of the video's folder) that belongs to the
// video file `videoName`; empty when there is none. "NAME.ext" wins over "NAME.LANG.ext",
// then the extensions count in the order above, then the names in byte order, so the
// choice does not depend on the order of the listing.
std::string Subtitle_ForVideo(std::string_view videoName, const std::vector<std::string>& names);

// The MIME type clients are told for a subtitle name; empty for any other name.
std::string_view Subtitle_Mime(std::string_view name);

// The subtitle's format as TVs name it: its extension in lower case, without the dot.
std::string Subtitle_Type(std::string_view name);

}  // namespace media
