// The walk of a shared folder: each file classified and stored under its kind's
// containers, each subfolder mirrored by folder containers, playlists imported and disc
// images read.
#include <algorithm>
#include <cstring>

#include "library/build/container_tree.h"
#include "library/build/playlist_import.h"
#include "library/build/scan_disc_image.h"
#include "library/build/scan_internal.h"
#include "library/build/scan_limits.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/object_numbers.h"
#include "library/statements.h"
#include "platform/dir_walk.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/text.h"
#include "transcode/seek_index.h"

namespace {

// The first picture of a folder by the cover patterns, in pattern order; within one
// pattern the first name in byte order. kNoCover when there is none.
std::string CoverFromListing(const platform::DirListing& listing) {
  for (const char* ext : scan_limits::kCoverExtensions) {
    for (const platform::DirEntry& e : listing.entries) {
      if (!e.isDirectory && platform::EndsWithNoCase(e.name, ext)) return e.name;
    }
  }
  return scan_limits::kNoCover;
}

bool SeekIndexWanted(const std::string& path, const std::string& ext) {
  return scan_detail::InArray(ext, scan_limits::kSeekIndexExtensions) &&
         db_getCount(sql::ByPath(path)) == 0;
}

// Stores a playlist as an item of "All Music" and of its folder container, both naming
// one list file, and imports its entries. An already stored playlist is imported again
// into its list file.
bool AddPlaylist(scan_detail::CScanRun& run, const std::string& path, const std::string& name,
                 int32_t audioParent) {
  if (audioParent < 0) return false;
  MediaRecord existing;
  int32_t number;
  std::string list;
  if (db_getOneRecord(sql::PlaylistItemNamed(audioParent, scan_detail::DisplayName(name)),
                      &existing) > 0) {
    number = existing.MyIndex;
    list = existing.FilePath;
    Scanner().CountDuplicate();
  } else {
    number = AllocateObjectNumber();
    list = scan_detail::ListFilePath(number);
    scan_detail::AddObject(run, kContainerAllMusic, kObjectItem, path, name, kKindPlaylist, -1,
                           list, true);
    if (scan_detail::AddObject(run, audioParent, kObjectItem, path, name, kKindPlaylist, number,
                               list, false) == 0) {
      return false;
    }
  }
  scan_detail::ImportPlaylist(run, path, list, number);
  return true;
}

}  // namespace

namespace scan_detail {

std::string CScanRun::CoverFor(const std::string& folder) {
  if (!coverValid_ || coverFolder_ != folder) {
    SetCover(folder, platform::ListDirectory(folder));
  }
  return cover_;
}

void CScanRun::SetCover(const std::string& folder, const platform::DirListing& listing) {
  coverFolder_ = folder;
  cover_ = CoverFromListing(listing);
  coverValid_ = true;
}

const CItemFacts& CScanRun::FactsFor(const std::string& path, int kind) {
  if (factsValid_ && facts_.path == path && facts_.kind == kind) return facts_;
  facts_ = CItemFacts();
  facts_.path = path;
  facts_.kind = kind;
  facts_.size = std::max<int64_t>(0, platform::FileSize64(path));
  if (kind == kKindVideo || kind == kKindAudio || kind == kKindPlaylistEntry) {
    WMTag_Read(path, &facts_.tags);
  }
  if (kind == kKindAudio || kind == kKindPlaylistEntry) facts_.cover = CoverFor(DirName(path));
  factsValid_ = true;
  return facts_;
}

void CScanRun::ForgetFacts() {
  factsValid_ = false;
  facts_ = CItemFacts();
}

// Stores one file of a folder. Returns the kinds it adds to its folder's mask.
int ScanFile(CScanRun& run, const std::string& path, const std::string& name, int32_t audio,
             int32_t video, int32_t image) {
  int kind = Scan_ClassifyFile(name);
  int result = 0;
  switch (kind) {
    case kKindNone:
      Scanner().CountUnsupported();
      return 0;
    case kKindPlaylist:
      if (Scan_ExtensionIn(name, kKindPlaylist) && AddPlaylist(run, path, name, audio)) {
        result = kKindPlaylist;
      }
      break;
    case kKindDiscImage:
      result = Scan_DiscImage(run, path, audio, video, image) | kKindDiscImage;
      break;
    case kKindVideo:
    case kKindCompanion:
    case kKindAudio:
    case kKindImage: {
      int32_t all = kContainerAllImages;
      int32_t folder = image;
      if (kind & kKindVideo) {
        all = kContainerAllVideos;
        folder = video;
        if (SeekIndexWanted(path, scan_detail::ExtensionLower(name))) IndexQueueAdd(path);
      } else if (kind == kKindAudio) {
        all = kContainerAllMusic;
        folder = audio;
      }
      AddObject(run, all, kObjectItem, path, name, kind);
      AddItem(run, folder, kObjectItem, path, name, kind, 0);
      // A companion file alone does not keep a folder's video container.
      result = (kind & kKindCompanionBit) ? kKindCompanionBit : kind;
      break;
    }
    default:
      break;
  }
  run.ForgetFacts();
  return result;
}

int WalkFolder(CScanRun& run, const std::string& folder, int32_t audio, int32_t video,
               int32_t image, bool descend) {
  platform::DirWalkGuard::Scope scope(run.walkGuard(), folder);
  if (!scope.Entered()) return 0;
  platform::DirListing listing = platform::ListDirectory(folder);
  if (listing.error != 0) {
    platform::Logf("scan: cannot read %s: %s\n", folder.c_str(), std::strerror(listing.error));
  }
  run.SetCover(folder, listing);
  int mask = 0;
  for (const platform::DirEntry& entry : listing.entries) {
    if (Scanner().abort.load(std::memory_order_acquire)) break;
    Scanner().RunEntryHook(entry.path);
    if (entry.isHidden) continue;
    if (entry.isDirectory) {
      if (!descend || IsCompressedFolderName(entry.name)) continue;
      int32_t subAudio =
          AddObject(run, audio, kObjectContainer, entry.path, entry.name, kKindAudio) - 1;
      int32_t subVideo =
          AddObject(run, video, kObjectContainer, entry.path, entry.name, kKindVideo) - 1;
      int32_t subImage =
          AddObject(run, image, kObjectContainer, entry.path, entry.name, kKindImage) - 1;
      int sub = WalkFolder(run, entry.path, subAudio, subVideo, subImage, true);
      PruneByMask(run, sub, subAudio, subVideo, subImage);
      mask |= sub;
      // The walk below replaced the cached cover with a subfolder's.
      run.ForgetCover();
    } else {
      mask |= ScanFile(run, entry.path, entry.name, audio, video, image);
    }
    run.batch().Step();
  }
  return mask;
}

}  // namespace scan_detail

int Scan_Directory(const std::string& folder, int32_t audioParent, int32_t videoParent,
                   int32_t imageParent, bool descend) {
  scan_detail::CScanRun run;
  return scan_detail::WalkFolder(run, folder, audioParent, videoParent, imageParent, descend);
}

void Scan_SharedFolder(const std::string& folder) {
  scan_detail::CScanRun run;
  if (scan_detail::FolderIsGone(folder)) {
    platform::Logf("scan: shared folder %s no longer exists; removing it\n", folder.c_str());
    scan_detail::RemoveSharedFolder(run, folder);
    return;
  }
  int32_t audio = scan_detail::AddObject(run, kContainerAudioFolders, kObjectContainer, folder,
                                         folder, kKindAudio) -
                  1;
  int32_t video = scan_detail::AddObject(run, kContainerVideoFolders, kObjectContainer, folder,
                                         folder, kKindVideo) -
                  1;
  int32_t image = scan_detail::AddObject(run, kContainerImageFolders, kObjectContainer, folder,
                                         folder, kKindImage) -
                  1;
  int mask = scan_detail::WalkFolder(run, folder, audio, video, image, true);
  scan_detail::PruneByMask(run, mask, audio, video, image);
}
