#include "library/build/testing/scan_library.h"

#include <sqlite3.h>

#include <filesystem>

#include "app/settings.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/testing/test_support.h"

namespace scan_test {
namespace {

// Media made once per process and copied from here; the directory goes at exit.
struct Originals {
  platform::testing::TempDir dir;
  std::string mp3 = dir.Join("tone.mp3");  // a one-second tone without tags
  std::string jpeg = dir.Join("picture.jpg");
  std::string video = dir.Join("clip.mp4");
  bool ok = platform::testing::RunFfmpeg({"-f", "lavfi", "-i", "sine=f=440:d=1", "-c:a",
                                          "libmp3lame", "-b:a", "32k", "-map_metadata", "-1",
                                          "-id3v2_version", "0", "-write_id3v1", "0", mp3}) &&
            platform::testing::RunFfmpeg(
                {"-f", "lavfi", "-i", "color=c=red:s=32x32", "-frames:v", "1", jpeg}) &&
            platform::testing::RunFfmpeg({"-f", "lavfi", "-i", "testsrc=s=64x48:d=1:r=5", "-c:v",
                                          "mpeg4", "-t", "1", video});
};

// Copies one of the originals to `path`, after `prefix`.
bool CopyOriginal(std::string Originals::*which, const std::string& path,
                  const std::string& prefix = std::string()) {
  static Originals originals;
  if (!originals.ok) return false;
  WriteText(path, prefix + platform::testing::ReadFile(originals.*which));
  return true;
}

void PutSyncSafe(std::string* out, uint32_t value) {
  out->push_back(static_cast<char>((value >> 21) & 0x7F));
  out->push_back(static_cast<char>((value >> 14) & 0x7F));
  out->push_back(static_cast<char>((value >> 7) & 0x7F));
  out->push_back(static_cast<char>(value & 0x7F));
}

// An ID3v2.4 tag with UTF-8 text frames.
std::string Id3Tag(const Tags& tags) {
  std::string frames;
  const std::pair<const char*, const std::string*> fields[] = {{"TIT2", &tags.title},
                                                               {"TPE1", &tags.artist},
                                                               {"TALB", &tags.album},
                                                               {"TCON", &tags.genre},
                                                               {"TRCK", &tags.track}};
  for (const auto& [id, value] : fields) {
    if (value->empty()) continue;
    frames += id;
    PutSyncSafe(&frames, static_cast<uint32_t>(value->size() + 1));
    frames += std::string("\0\0", 2);
    frames += '\x03';  // UTF-8
    frames += *value;
  }
  if (frames.empty()) return std::string();
  std::string tag = "ID3";
  tag += std::string("\x04\x00\x00", 3);
  PutSyncSafe(&tag, static_cast<uint32_t>(frames.size()));
  return tag + frames;
}

}  // namespace

void MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
}

void WriteText(const std::string& path, const std::string& data) {
  MakeDirs(std::filesystem::path(path).parent_path().string());
  platform::testing::WriteFile(path, data);
}

bool WriteMp3(const std::string& path, const Tags& tags) {
  return CopyOriginal(&Originals::mp3, path, Id3Tag(tags));
}

bool WriteJpeg(const std::string& path) { return CopyOriginal(&Originals::jpeg, path); }

bool WriteVideo(const std::string& path) { return CopyOriginal(&Originals::video, path); }

std::vector<MediaRecord> Children(int32_t parent) {
  int n = db_selectT(sql::Children(parent));
  return std::vector<MediaRecord>(db_selectResults().begin(), db_selectResults().begin() + n);
}

std::vector<MediaRecord> RowsOfPath(const std::string& path) {
  int n = db_selectT(sql::ByPath(path));
  return std::vector<MediaRecord>(db_selectResults().begin(), db_selectResults().begin() + n);
}

MediaRecord ChildNamed(int32_t parent, const std::string& fileName) {
  for (const MediaRecord& r : Children(parent)) {
    if (r.FileName == fileName) return r;
  }
  MediaRecord none;
  none.MyIndex = -1;
  return none;
}

std::set<std::string> Names(const std::vector<MediaRecord>& rows) {
  std::set<std::string> names;
  for (const MediaRecord& r : rows) names.insert(r.FileName);
  return names;
}

int ItemCount(int32_t parent) {
  int count = 0;
  for (const MediaRecord& r : Children(parent)) count += r.ObjectType == kObjectItem;
  return count;
}

ScanLibrary::ScanLibrary() {
  if (!ok()) return;
  FST_BuildTree();
  ResetFilterTables();
  MakeDirs(media());
  Scan_SetLibraryTotals(CScanCounts());
  Scan_ResetCurrentCounts();
  Scanner().abort = false;
}

ScanLibrary::~ScanLibrary() {
  Scan_SetEntryHookForTest(nullptr);
  Scan_SetBatchLimitsForTest(0, 0);
  Scanner().abort = false;
}

std::vector<std::string> ConsistencyFaults(const std::string& libraryFile) {
  std::vector<std::string> faults;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(libraryFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {"cannot open " + libraryFile};
  }
  // A plain connection, as any SQLite tool has: the checks need nothing of the program.
  const std::pair<const char*, const char*> checks[] = {
      {"pragma integrity_check", "ok"},
      {"select count(*) from FSE_QueryState c where c.pIndex >= 0 and not exists "
       "(select 1 from FSE_QueryState p where p.MyIndex = c.pIndex)",
       "0"},
      // A file is stored whole or not at all: every item of a flat list has its folder
      // row, and every folder row its flat-list row.
      {"select count(*) from FSE_QueryState a where a.ObjectType = 1 and a.pIndex in (4, 7, 13) "
       "and a.Flags = 0 and not exists (select 1 from FSE_QueryState f where f.FilePath = "
       "a.FilePath and f.pIndex not in (4, 7, 13, 8, 9, 10))",
       "0"},
      {"select count(*) - count(distinct MyIndex) from FSE_QueryState", "0"},
  };
  for (const auto& [query, expected] : checks) {
    std::string got = "no answer";
    auto first = [](void* out, int, char** values, char**) {
      *static_cast<std::string*>(out) = values[0] != nullptr ? values[0] : "null";
      return 0;
    };
    sqlite3_exec(db, query, first, &got, nullptr);
    if (got != expected) faults.push_back(std::string(query) + " gave " + got);
  }
  sqlite3_close(db);
  return faults;
}

}  // namespace scan_test
