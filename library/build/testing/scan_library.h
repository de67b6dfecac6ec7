// Fixtures of the scanner tests: a fresh library with the fixed tree and the default
// filter tables, a media folder, real media files made with ffmpeg, and the views of the
// library the tests read.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "library/media_record.h"
#include "library/testing/temp_library.h"

namespace scan_test {

// Tags written into a generated MP3; empty ones are left out.
struct Tags {
  std::string title;
  std::string artist;
  std::string album;
  std::string genre;
  std::string track;
};

// Real media made once per test run (with ffmpeg) and copied where a test needs them,
// folders created on the way. Each writer returns false when ffmpeg failed.
bool WriteMp3(const std::string& path, const Tags& tags = Tags());
bool WriteJpeg(const std::string& path);
bool WriteVideo(const std::string& path);  // a short MPEG-4 video (.mp4)
void WriteText(const std::string& path, const std::string& data);
void MakeDirs(const std::string& path);

// The children of a container, and all rows with this path.
std::vector<MediaRecord> Children(int32_t parent);
std::vector<MediaRecord> RowsOfPath(const std::string& path);
// The child of `parent` with this FileName; MyIndex -1 when there is none.
MediaRecord ChildNamed(int32_t parent, const std::string& fileName);
// The FileNames of rows, and the number of items (not containers) below `parent`.
std::set<std::string> Names(const std::vector<MediaRecord>& rows);
int ItemCount(int32_t parent);

// Checks that the library is whole, through a connection that knows nothing of the
// program: an integrity check passes and every row's parent exists (apart from the
// parentless fixed rows). Returns a description of each fault.
std::vector<std::string> ConsistencyFaults(const std::string& libraryFile);

// A library with the fixed tree, default filters and an empty media folder "media".
class ScanLibrary : public TempLibrary {
 public:
  ScanLibrary();
  ~ScanLibrary();
  std::string media() const { return Path("media"); }
  std::string MediaPath(const std::string& name) const { return media() + "/" + name; }
  // ConsistencyFaults of this library.
  std::vector<std::string> Faults() const { return ConsistencyFaults(Path("Orvex.mdb")); }
};

}  // namespace scan_test
