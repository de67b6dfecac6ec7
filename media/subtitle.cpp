#include "media/subtitle.h"

#include "platform/text.h"

namespace media {
namespace {

struct SubtitleType {
  std::string_view extension;
  std::string_view mime;
};

// In the order of preference when a video has several.
constexpr SubtitleType kSubtitleTypes[] = {
    {".srt", "text/srt"},   {".smi", "smi/caption"}, {".ass", "text/x-ass"},
    {".ssa", "text/x-ssa"}, {".vtt", "text/vtt"},    {".sub", "text/sub"},
};

// The index of the name's subtitle type, or -1.
int TypeIndex(std::string_view name) {
  for (size_t i = 0; i < std::size(kSubtitleTypes); ++i) {
    if (platform::EndsWithNoCase(name, kSubtitleTypes[i].extension)) return static_cast<int>(i);
  }
  return -1;
}

std::string_view BaseOf(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(0, dot);
}

// 0 for "NAME.ext", 1 for "NAME.LANG.ext", -1 when the subtitle is not the video's.
int NameRank(std::string_view videoBase, std::string_view subtitleBase) {
  if (subtitleBase == videoBase) return 0;
  if (subtitleBase.size() <= videoBase.size() + 1 || !subtitleBase.starts_with(videoBase) ||
      subtitleBase[videoBase.size()] != '.') {
    return -1;
  }
  std::string_view language = subtitleBase.substr(videoBase.size() + 1);
  return language.find('.') == std::string_view::npos ? 1 : -1;
}

}  // namespace

bool Subtitle_IsSubtitleName(std::string_view name) { return TypeIndex(name) >= 0; }

std::string Subtitle_ForVideo(std::string_view videoName, const std::vector<std::string>& names) {
  if (TypeIndex(videoName) >= 0) return {};  // a subtitle has none of its own
  std::string_view videoBase = BaseOf(videoName);
  const std::string* best = nullptr;
  int bestRank = 0;
  for (const std::string& name : names) {
    int type = TypeIndex(name);
    if (type < 0 || name.size() == std::string_view(kSubtitleTypes[type].extension).size())
      continue;
    int nameRank = NameRank(videoBase, BaseOf(name));
    if (nameRank < 0) continue;
    int rank = nameRank * 100 + type;
    if (best == nullptr || rank < bestRank || (rank == bestRank && name < *best)) {
      best = &name;
      bestRank = rank;
    }
  }
  return best ? *best : std::string();
}

std::string_view Subtitle_Mime(std::string_view name) {
  int type = TypeIndex(name);
  return type < 0 ? std::string_view() : kSubtitleTypes[type].mime;
}

std::string Subtitle_Type(std::string_view name) {
  int type = TypeIndex(name);
  return type < 0 ? std::string() : std::string(kSubtitleTypes[type].extension.substr(1));
}

}  // namespace media
