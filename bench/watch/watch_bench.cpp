// watch_bench latency HOME SEED_MP3 COUNT: shares HOME/media, watches it, and copies the
//   seed in COUNT times; prints the time from each file's close until a query of the
//   "All Music" container finds it (p50, p99, max).
// watch_bench scale DIR DIRS: makes DIRS directories below DIR, watches the tree and
//   prints the time and CPU to start, resident memory, and CPU while idle.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "library/build/container_tree.h"
#include "library/build/dir_watcher.h"
#include "library/build/file_system_tree.h"
#include "library/build/library_edit.h"
#include "library/build/library_watcher.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/app_directory.h"
#include "platform/log.h"
#include "platform/tick.h"

namespace {

double CpuSeconds() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

int Latency(const std::string& home, const std::string& seed, int count) {
  platform::InitAppDirectory(home);
  platform::SetLogSink([](std::string_view) {});
  if (db_open() != 1) return 1;
  FST_BuildTree();
  ResetFilterTables();
  std::string media = home + "/media";
  std::filesystem::create_directories(media);
  Lib_AddSharedFolder(media);
  Scan_SharedFolder(media);
  std::string data;
  {
    std::ifstream in(seed, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::vector<double> ms;
  {
    CLibraryWatcher watcher;
    if (!watcher.Watch(media)) return 1;
    for (int i = 0; i < count; ++i) {
      std::string name = "f" + std::to_string(i) + ".mp3";
      std::string path = media + "/" + name;
      {
        std::ofstream out(path, std::ios::binary);
        out << data;
      }
      uint64_t closed = platform::TickCountMs();
      struct timespec t0 {};
      clock_gettime(CLOCK_MONOTONIC, &t0);
      while (db_getCount(sql::ItemUnder(path, name, kContainerAllMusic)) == 0) {
        if (platform::TickCountMs() - closed > 30000) {
          std::fprintf(stderr, "%s never appeared\n", path.c_str());
          return 1;
        }
        platform::SleepMs(1);
      }
      struct timespec t1 {};
      clock_gettime(CLOCK_MONOTONIC, &t1);
      ms.push_back((t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6);
    }
  }
  db_close();
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) {
    return ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))];
  };
  std::printf("close-to-library latency over %zu files: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
              ms.size(), at(0.50), at(0.99), ms.back());
  return at(0.99) < 1000.0 ? 0 : 3;
}

int Scale(const std::string& dir, int dirs) {
  platform::SetLogSink([](std::string_view) {});
  std::string root = dir + "/tree";
  int perLevel = 100;
  for (int i = 0; i < dirs; ++i) {
    std::filesystem::create_directories(root + "/d" + std::to_string(i / perLevel) + "/e" +
                                        std::to_string(i % perLevel));
  }
  int total = dirs + (dirs + perLevel - 1) / perLevel + 1;
  long rss0 = RssKiB();
  double cpu0 = CpuSeconds();
  uint64_t t0 = platform::TickCountMs();
  CDirectoryChangeWatcher watcher;
  auto handler = std::make_shared<CDirectoryChangeHandler>();
  if (watcher.WatchDirectory(root, kSharedFolderChangeFilter, handler, true) != 0) return 1;
  uint64_t t1 = platform::TickCountMs();
  double cpu1 = CpuSeconds();
  size_t watched = watcher.WatchedDirectoryCountForTest();
  long rss1 = RssKiB();
  platform::SleepMs(3000);
  double cpu2 = CpuSeconds();
  // 1,000 files created and written in directories all over the tree.
  for (int i = 0; i < 1000; ++i) {
    std::ofstream out(root + "/d" + std::to_string(i % (dirs / perLevel)) + "/e" +
                      std::to_string(i % perLevel) + "/x" + std::to_string(i) + ".mp3");
    out << "x";
  }
  watcher.DrainNotificationsForTest();
  double cpu3 = CpuSeconds();
  std::printf(
      "watching %zu directories (%d made): start %.2f s wall, %.2f s CPU; "
      "memory +%.1f MiB (RSS %.1f MiB)\n",
      watched, total, (t1 - t0) / 1000.0, cpu1 - cpu0, (rss1 - rss0) / 1024.0, rss1 / 1024.0);
  std::printf("idle CPU over 3 s: %.3f s; CPU for 1,000 new files: %.3f s\n", cpu2 - cpu1,
              cpu3 - cpu2);
  return watched >= static_cast<size_t>(total) ? 0 : 4;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "latency") {
    return Latency(argv[2], argv[3], std::atoi(argv[4]));
  }
  if (argc == 4 && std::string(argv[1]) == "scale") return Scale(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: %s latency HOME SEED_MP3 COUNT | scale DIR DIRS\n", argv[0]);
  return 2;
}
