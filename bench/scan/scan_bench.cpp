// scan_bench --home DIR --share DIR: opens (or creates) the library in DIR, shares the
// folder, scans it on a scan thread, waits for the end and prints the counts. The
// folder scanner's benchmark runs it when the application cannot scan on its own.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/library_edit.h"
#include "library/build/scan_threads.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/object_numbers.h"
#include "platform/app_directory.h"
#include "platform/tick.h"

int main(int argc, char** argv) {
  std::string home;
  std::string share;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--home") == 0) home = argv[i + 1];
    if (std::strcmp(argv[i], "--share") == 0) share = argv[i + 1];
  }
  if (home.empty() || share.empty()) {
    std::fprintf(stderr, "usage: scan_bench --home DIR --share DIR\n");
    return 2;
  }
  platform::InitAppDirectory(home);
  if (db_open() != 1) {
    std::fprintf(stderr, "Cannot open database\n");
    return 1;
  }
  std::string first;
  db_getAVP("RunFirstTime", &first);
  if (SettingIsTrue(first)) {
    db_setAVP("RunFirstTime", "FALSE");
    FST_BuildTree();
  }
  LoadFilterTables();
  g_nextMyIndex = std::max(db_getMaxIndex() + 1, kFirstFreeObjectNumber);
  Scan_LoadLibraryTotals();
  Lib_AddSharedFolder(share);

  uint64_t start = platform::TickCountMs();
  {
    CScanThread scan;
    scan.StartAddFolders({share});
    scan.Join();
  }
  uint64_t elapsed = platform::TickCountMs() - start;
  CScanCounts c = Scan_CurrentCounts();
  std::printf(
      "scanned %d files (%d video, %d audio, %d image, %d playlists, %d duplicates, "
      "%d unsupported) in %llu ms\n",
      c.files, c.video, c.audio, c.image, c.playlists, c.duplicates, c.unsupported,
      static_cast<unsigned long long>(elapsed));
  db_close();
  return 0;
}
