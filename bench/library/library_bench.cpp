// Inserts N item rows under one container, then times paged reads of that container:
// pages read in order at the start, middle and end, and jumps to random positions.
// With --fill-only it only inserts them, titled "Track <n>", into DIR/Orvex.mdb, for a
// server to be started on (the scale benchmark).
// Usage: library_bench DIR [ROWS] [--fill-only]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "library/container_numbers.h"
#include "library/library.h"
#include "library/statements.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

constexpr int kContainer = kContainerAllMusic;
constexpr int kPage = 100;
constexpr int kPagesInOrder = 10;
constexpr int kJumps = 10;

double TimePage(int first, int* copied) {
  std::vector<MediaRecord> page;
  auto t0 = Clock::now();
  *copied = db_browsePage(sql::Children(kContainer), &page, first, kPage);
  return Ms(Clock::now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: library_bench DIR [ROWS]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int rows = argc > 2 ? std::atoi(argv[2]) : 100000;
  const bool fillOnly = argc > 3 && std::string(argv[3]) == "--fill-only";
  if (!db_openAt(dir + "/" + kLibraryFileName)) {
    std::fprintf(stderr, "cannot open the library in %s\n", dir.c_str());
    return 1;
  }

  auto t0 = Clock::now();
  constexpr int kBatch = 1000;
  for (int done = 0; done < rows;) {
    LibraryTransaction batch;
    for (int i = 0; i < kBatch && done < rows; ++i, ++done) {
      ObjectRow row;
      row.MyIndex = 1000 + done;
      row.pIndex = kContainer;
      row.ObjectType = kObjectItem;
      row.ProcessObjectType = kObjectItem;
      char name[64];
      if (fillOnly)
        std::snprintf(name, sizeof name, "Track %d.mp3", done);
      else
        std::snprintf(name, sizeof name, "Track %06d.mp3", (done * 7919) % rows);
      row.FileName = name;
      row.FilePath = "/music/Artist " + std::to_string(done % 500) + "/" + name;
      row.Album = "Album " + std::to_string(done % 2000);
      row.Title = fillOnly ? "Track " + std::to_string(done) : name;
      row.Author = "Artist " + std::to_string(done % 500);
      row.FileType = "Audio";
      row.FileSize = 4'000'000 + done;
      db_execute(sql::InsertObject(row));
    }
    batch.Commit();
  }
  double insertSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("rows inserted:          %d in %.2f s (%.0f rows/s)\n", rows, insertSeconds,
              rows / insertSeconds);
  if (fillOnly) {
    // A library at rest: its album art pass is over (these files have none), so the
    // server measured on it is not busy writing art for every row meanwhile.
    db_execute(Sql{"update FSE_QueryState set AlbumArt = '-' where AlbumArt = ''", {}});
    db_close();
    return 0;
  }

  // Another query first, so the first page below is the first after a change of query.
  std::vector<MediaRecord> other;
  db_browsePage(sql::Children(kContainerAllImages), &other, 0, kPage);

  const int starts[3] = {0, std::max(0, rows / 2 - kPage * kPagesInOrder / 2),
                         std::max(0, rows - kPage * kPagesInOrder)};
  const char* names[3] = {"start", "middle", "end"};
  double worstInOrder = 0;
  for (int s = 0; s < 3; ++s) {
    double first = 0, total = 0, worst = 0;
    int copiedAll = 0;
    for (int p = 0; p < kPagesInOrder; ++p) {
      int copied = 0;
      double ms = TimePage(starts[s] + p * kPage, &copied);
      copiedAll += copied;
      if (p == 0) {
        first = ms;
        // At the start the first page is an in-order read; elsewhere it is a jump.
        if (s != 0) continue;
      }
      total += ms;
      worst = std::max(worst, ms);
    }
    int counted = s == 0 ? kPagesInOrder : kPagesInOrder - 1;
    worstInOrder = std::max(worstInOrder, worst);
    std::printf(
        "pages at the %-6s      first %.3f ms, in order avg %.3f ms, max %.3f ms (%d rows)\n",
        names[s], first, total / counted, worst, copiedAll);
  }

  std::mt19937 random(12345);
  double jumpTotal = 0, jumpWorst = 0;
  for (int j = 0; j < kJumps; ++j) {
    int first = static_cast<int>(random() % static_cast<unsigned>(std::max(1, rows - kPage)));
    int copied = 0;
    double ms = TimePage(first, &copied);
    jumpTotal += ms;
    jumpWorst = std::max(jumpWorst, ms);
  }
  std::printf("random jumps:           avg %.3f ms, max %.3f ms\n", jumpTotal / kJumps, jumpWorst);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory:   %.1f MB\n", usage.ru_maxrss / 1024.0);
  std::printf(
      "targets:                in order < 5 ms: %s; jump < 50 ms: %s; memory < 200 MB: %s\n",
      worstInOrder < 5 ? "met" : "MISSED", jumpWorst < 50 ? "met" : "MISSED",
      usage.ru_maxrss / 1024.0 < 200 ? "met" : "MISSED");
  db_close();
  return 0;
}
