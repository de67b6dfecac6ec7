#include "library/build/subtitle_scan.h"

#include <optional>
#include <vector>

#include "library/build/scan_internal.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "media/subtitle.h"
#include "platform/dir_walk.h"
#include "platform/file_info.h"

namespace {

// The file names of the folder last listed, with the folder's stamp at that time: a
// file added, removed or renamed in it changes the folder's stamp.
struct FolderNames {
  std::string folder;
  std::optional<platform::FileStamp> stamp;
  std::vector<std::string> names;
};
thread_local FolderNames t_names;

const std::vector<std::string>& NamesIn(const std::string& folder) {
  std::optional<platform::FileStamp> stamp = platform::StampOf(folder);
  if (stamp && t_names.stamp == stamp && t_names.folder == folder) return t_names.names;
  // The stamp is taken before the listing, so a change during the listing is seen later.
  t_names.folder = folder;
  t_names.stamp = stamp;
  t_names.names.clear();
  for (const platform::DirEntry& entry : platform::ListDirectory(folder).entries) {
    if (!entry.isDirectory) t_names.names.push_back(entry.name);
  }
  return t_names.names;
}

}  // namespace

std::string SubtitleScan_ForVideo(const std::string& path) {
  return media::Subtitle_ForVideo(scan_detail::BaseName(path), NamesIn(scan_detail::DirName(path)));
}

void SubtitleScan_Refresh(const std::string& path) {
  if (!media::Subtitle_IsSubtitleName(scan_detail::BaseName(path))) return;
  std::string folder = scan_detail::DirName(path);
  std::vector<std::string> names = NamesIn(folder);
  for (const std::string& name : names) {
    if (Scan_ClassifyFile(name) != kKindVideo) continue;
    db_execute(sql::UpdateSubtitle(folder + "/" + name, media::Subtitle_ForVideo(name, names)));
  }
}
