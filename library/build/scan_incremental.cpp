// The scanner's forms for the directory watcher: a file or folder that appeared is stored
// under the containers of its folder chain (created as needed), one that disappeared is
// deleted with the containers it leaves empty.
#include <optional>
#include <vector>

#include "library/build/container_tree.h"
#include "library/build/scan_internal.h"
#include "library/build/scanner.h"
#include "library/build/subtitle_scan.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/path.h"

namespace {

// The shared folder that holds `path` (the longest one), or empty.
std::string SharedFolderOf(const std::string& path) {
  std::string best;
  for (const SharedFolderRecord& shared : db_listSharedFolders()) {
    std::string_view dir = platform::WithoutTrailingSlashes(shared.DirPath);
    bool inside =
        path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                        (dir == "/" || path[dir.size()] == '/'));
    if (inside && shared.DirPath.size() > best.size()) best = shared.DirPath;
  }
  return best;
}

// The folder names from `shared` down to `dir` (both as given), or nothing when one of
// them is a name the scan never enters.
std::optional<std::vector<std::string>> FoldersBelow(const std::string& shared,
                                                     const std::string& dir) {
  std::vector<std::string> names;
  std::string_view base = platform::WithoutTrailingSlashes(shared);
  if (dir.size() <= base.size()) return names;
  std::string rest = dir.substr(base.size());
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t next = rest.find('/', pos);
    if (next == std::string::npos) next = rest.size();
    std::string name = rest.substr(pos, next - pos);
    if (!name.empty()) {
      if (name[0] == '.' || scan_detail::IsCompressedFolderName(name)) return std::nullopt;
      names.push_back(name);
    }
    pos = next + 1;
  }
  return names;
}

// Finds or creates the folder containers from the shared folder's container under
// `root` down to `dir`; returns the last one, or -1.
int32_t EnsureChain(scan_detail::CScanRun& run, int32_t root, int kind, const std::string& shared,
                    const std::vector<std::string>& names) {
  int32_t container = scan_detail::AddObject(run, root, kObjectContainer, shared, shared, kind) - 1;
  std::string path(platform::WithoutTrailingSlashes(shared));
  for (const std::string& name : names) {
    if (container < 0) return -1;
    path += "/" + name;
    container = scan_detail::AddObject(run, container, kObjectContainer, path, name, kind) - 1;
  }
  return container;
}

}  // namespace

void Scan_AddPath(const std::string& path) {
  SubtitleScan_Refresh(path);
  if (db_getCount(sql::ByPath(path)) > 0) return;
  std::string name = scan_detail::BaseName(path);
  if (name.empty() || name[0] == '.') return;
  int kind = Scan_ClassifyFile(name);
  if (kind == kKindNone) return;
  std::string shared = SharedFolderOf(path);
  if (shared.empty()) return;
  std::optional<std::vector<std::string>> names = FoldersBelow(shared, scan_detail::DirName(path));
  if (!names) return;
  {
    scan_detail::CScanRun run;
    bool disc = kind == kKindDiscImage;
    int32_t audio = (disc || kind == kKindAudio || kind == kKindPlaylist)
                        ? EnsureChain(run, kContainerAudioFolders, kKindAudio, shared, *names)
                        : -1;
    int32_t video = (disc || (kind & kKindVideo))
                        ? EnsureChain(run, kContainerVideoFolders, kKindVideo, shared, *names)
                        : -1;
    int32_t image = (disc || kind == kKindImage)
                        ? EnsureChain(run, kContainerImageFolders, kKindImage, shared, *names)
                        : -1;
    int mask = scan_detail::ScanFile(run, path, name, audio, video, image);
    if ((mask & (kKindAudio | kKindPlaylist)) == 0) scan_detail::PruneEmptyUpward(audio);
    if ((mask & kKindVideo) == 0) scan_detail::PruneEmptyUpward(video);
    if ((mask & kKindImage) == 0) scan_detail::PruneEmptyUpward(image);
  }
  db_invalidateBrowse();
}

void Scan_AddFolder(const std::string& path) {
  std::string name = scan_detail::BaseName(path);
  std::string shared = SharedFolderOf(path);
  if (shared.empty()) return;
  std::optional<std::vector<std::string>> names = FoldersBelow(shared, path);
  if (!names) return;
  {
    scan_detail::CScanRun run;
    int32_t audio = EnsureChain(run, kContainerAudioFolders, kKindAudio, shared, *names);
    int32_t video = EnsureChain(run, kContainerVideoFolders, kKindVideo, shared, *names);
    int32_t image = EnsureChain(run, kContainerImageFolders, kKindImage, shared, *names);
    int mask = scan_detail::WalkFolder(run, path, audio, video, image, true);
    // Anything left below a container of a missing kind is from an earlier scan.
    if ((mask & (kKindAudio | kKindPlaylist)) == 0) scan_detail::PruneChain(run, audio);
    if ((mask & kKindVideo) == 0) scan_detail::PruneChain(run, video);
    if ((mask & kKindImage) == 0) scan_detail::PruneChain(run, image);
  }
  db_invalidateBrowse();
}

void Scan_RemovePath(const std::string& path) {
  {
    scan_detail::CScanRun run;
    std::string name = scan_detail::BaseName(path);
    int kind = Scan_ClassifyFile(name);
    int n = db_selectT(sql::ByPath(path));
    std::vector<MediaRecord> rows(db_selectResults().begin(), db_selectResults().begin() + n);
    scan_detail::CDeleteState state;
    if (kind == kKindNone || kind == kKindDiscImage) {
      // A folder, or a disc image whose containers carry the image's path.
      for (const MediaRecord& r : rows) {
        if (r.ObjectType == kObjectContainer) scan_detail::DeleteSubtree(run, r.MyIndex, &state);
      }
    } else if (kind == kKindPlaylist) {
      // A playlist's rows carry its list file's path; they are found by name in the
      // folder containers of its directory.
      int m = db_selectT(sql::ByPath(scan_detail::DirName(path)));
      std::vector<MediaRecord> folders(db_selectResults().begin(), db_selectResults().begin() + m);
      for (const MediaRecord& folder : folders) {
        MediaRecord item;
        if (folder.ObjectType == kObjectContainer &&
            db_getOneRecord(sql::PlaylistItemNamed(folder.MyIndex, scan_detail::DisplayName(name)),
                            &item) > 0) {
          scan_detail::DeleteItem(item, true, &state);
        }
      }
    } else {
      for (const MediaRecord& r : rows) {
        if (r.ObjectType == kObjectItem) {
          scan_detail::DeleteItem(r, true, &state);
          break;  // every row of the path is gone now
        }
      }
      db_execute(sql::DeleteByPath(path));
    }
    scan_detail::RemoveEmptyGroups(state);
    // Folder containers above the path that are left empty go too, up to "/".
    std::string dir = path;
    for (;;) {
      size_t slash = dir.rfind('/');
      if (slash == std::string::npos || slash == 0) break;
      dir.resize(slash);
      int k = db_selectT(sql::ByPath(dir));
      std::vector<MediaRecord> parents(db_selectResults().begin(), db_selectResults().begin() + k);
      for (const MediaRecord& p : parents) {
        if (p.ObjectType == kObjectContainer && p.MyIndex >= kFirstFreeObjectNumber) {
          db_execute(sql::DeleteIfNoChildren(p.MyIndex));
        }
      }
    }
  }
  SubtitleScan_Refresh(path);
  db_invalidateBrowse();
}
