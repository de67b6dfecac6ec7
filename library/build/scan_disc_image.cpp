#include "library/build/scan_disc_image.h"

#include <cdio/iso9660.h>
#include <cdio/logging.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "library/build/library_edit.h"
#include "library/build/scan_internal.h"
#include "library/build/scan_limits.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/object_numbers.h"
#include "library/statements.h"
#include "platform/log.h"

namespace {

// The library's default log handler ends the process on errors; a damaged image must
// not do that, so its messages become log lines.
void DiscLogHandler(cdio_log_level_t level, const char message[]) {
  if (level >= CDIO_LOG_WARN) platform::Logf("disc image: %s\n", message);
}

void InstallLogHandler() {
  static std::once_flag once;
  std::call_once(once, [] { cdio_log_set_handler(DiscLogHandler); });
}

struct IsoCloser {
  void operator()(iso9660_t* iso) const { iso9660_close(iso); }
};
using IsoPtr = std::unique_ptr<iso9660_t, IsoCloser>;

struct Member {
  std::string rawName;  // as the image's directory holds it, for reading below it
  std::string name;     // without version suffix
  bool isDirectory = false;
  int64_t lsn = 0;
  int64_t size = 0;
};

// The image's directory `path`, copied out of the reader's list. False when the
// directory cannot be read.
bool ReadMembers(iso9660_t* iso, const std::string& path, std::vector<Member>* members) {
  CdioList_t* list = iso9660_ifs_readdir(iso, path.c_str());
  if (list == nullptr) return false;
  for (CdioListNode_t* node = _cdio_list_begin(list); node != nullptr;
       node = _cdio_list_node_next(node)) {
    auto* stat = static_cast<iso9660_stat_t*>(_cdio_list_node_data(node));
    if (stat == nullptr) continue;
    Member m;
    m.rawName = stat->filename;
    if (m.rawName.empty() || m.rawName == "." || m.rawName == ".." || m.rawName == "\x01" ||
        m.rawName.find('/') != std::string::npos) {
      continue;
    }
    m.name = m.rawName.substr(0, m.rawName.find(';'));
    // Plain ISO 9660 names without an extension keep a trailing dot.
    if (!m.name.empty() && m.name.back() == '.') m.name.pop_back();
    if (m.name.empty()) continue;
    m.isDirectory = stat->type == iso9660_stat_s::_STAT_DIR;
    m.lsn = stat->lsn;
    m.size = stat->size;
    members->push_back(std::move(m));
  }
  iso9660_filelist_free(list);
  return true;
}

// Parents in the order audio, video, image.
using Parents = std::array<int32_t, 3>;
constexpr int kParentKinds[3] = {kKindAudio, kKindVideo, kKindImage};

// Inserts the three containers of one level of the image; a negative parent gives -1.
Parents AddContainers(const std::string& imagePath, const std::string& name,
                      const Parents& parents) {
  Parents made{-1, -1, -1};
  for (int i = 0; i < 3; ++i) {
    if (parents[i] < 0) continue;
    ObjectRow row;
    row.MyIndex = AllocateObjectNumber();
    row.pIndex = parents[i];
    row.Flags = kFlagDiscImage;
    row.ObjectType = kObjectContainer;
    row.ProcessObjectType = kObjectContainer;
    row.FilePath = imagePath;
    row.FileName = scan_detail::DisplayName(name);
    row.FileType = scan_detail::KindWord(kParentKinds[i]);
    if (db_execute(sql::InsertObject(row))) made[static_cast<size_t>(i)] = row.MyIndex;
  }
  return made;
}

// Deletes the containers of the kinds `mask` does not hold. Their own subdirectories
// were pruned before them, so what is deleted is empty.
void PruneContainers(const Parents& containers, int mask) {
  const int needs[3] = {kKindAudio | kKindPlaylist, kKindVideo, kKindImage};
  for (int i = 0; i < 3; ++i) {
    int32_t c = containers[static_cast<size_t>(i)];
    if (c >= 0 && (mask & needs[i]) == 0) db_execute(sql::DeleteIfNoChildren(c));
  }
}

struct Walk {
  iso9660_t* iso;
  std::string imagePath;
  std::vector<int64_t> openDirectories;  // first blocks of the directories on the path
  size_t entries = 0;
};

int AddFile(Walk& walk, const Member& m, const Parents& parents) {
  int kind = Scan_ClassifyFile(m.name);
  int32_t parent = -1;
  if (kind & kKindVideo) {
    parent = parents[1];
  } else if (kind == kKindAudio) {
    parent = parents[0];
  } else if (kind == kKindImage) {
    parent = parents[2];
  }
  if (parent < 0 || m.lsn < 0) return 0;
  ObjectRow row;
  row.MyIndex = AllocateObjectNumber();
  row.pIndex = parent;
  row.Flags = kFlagDiscImage;
  row.ObjectType = kObjectItem;
  row.ProcessObjectType = kObjectItem;
  row.FilePath = Scan_DiscMemberPath(walk.imagePath, m.lsn * scan_limits::kDiscBlockSize, m.name);
  row.FileName = scan_detail::DisplayName(m.name);
  row.FileType = scan_detail::KindWord(kind);
  row.FileSize = m.size;
  if (!db_execute(sql::InsertObject(row))) return 0;
  return (kind & kKindCompanionBit) ? kKindCompanionBit : kind;
}

int WalkDirectory(scan_detail::CScanRun& run, Walk& walk, const std::string& isoPath,
                  const Parents& parents) {
  std::vector<Member> members;
  if (!ReadMembers(walk.iso, isoPath, &members)) return 0;
  int mask = 0;
  for (const Member& m : members) {
    if (Scanner().abort.load(std::memory_order_acquire)) break;
    if (++walk.entries > scan_limits::kDiscMaxEntries) break;
    if (m.isDirectory) {
      // A directory record pointing back at a directory on the path would loop.
      bool open = std::find(walk.openDirectories.begin(), walk.openDirectories.end(), m.lsn) !=
                  walk.openDirectories.end();
      if (open || walk.openDirectories.size() >= scan_limits::kDiscMaxDepth) continue;
      Parents sub = AddContainers(walk.imagePath, m.name, parents);
      walk.openDirectories.push_back(m.lsn);
      int subMask = WalkDirectory(run, walk, isoPath + m.rawName + "/", sub);
      walk.openDirectories.pop_back();
      PruneContainers(sub, subMask);
      mask |= subMask;
    } else {
      mask |= AddFile(walk, m, parents);
    }
    run.batch().Step();
  }
  return mask;
}

}  // namespace

std::string Scan_DiscMemberPath(const std::string& imagePath, int64_t offset,
                                const std::string& name) {
  return imagePath + "/%offset%" + std::to_string(offset) + "/" + name;
}

int Scan_DiscImage(scan_detail::CScanRun& run, const std::string& imagePath, int32_t audioParent,
                   int32_t videoParent, int32_t imageParent) {
  InstallLogHandler();
  Scanner().currentPath.Set(imagePath);
  std::string name = scan_detail::BaseName(imagePath) + "(iso)";
  Parents parents{audioParent, videoParent, imageParent};
  // An image stored before (a folder scanned again) is read anew.
  for (int32_t parent : parents) {
    if (parent < 0) continue;
    MediaRecord old;
    while (db_getOneRecord(sql::DiscObjectNamed(parent, scan_detail::DisplayName(name)), &old) >
           0) {
      scan_detail::DeleteTree(run, old.MyIndex);
    }
  }
  Parents top = AddContainers(imagePath, name, parents);
  int mask = 0;
  IsoPtr iso(iso9660_open_ext(imagePath.c_str(), ISO_EXTENSION_ALL));
  if (iso) {
    Walk walk{iso.get(), imagePath, {}, 0};
    mask = WalkDirectory(run, walk, "/", top);
  } else {
    platform::Logf("scan: cannot read the disc image %s\n", imagePath.c_str());
  }
  PruneContainers(top, mask);
  return mask;
}
