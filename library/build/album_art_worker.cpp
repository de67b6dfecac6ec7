#include "library/build/album_art_worker.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "library/library.h"
#include "library/statements.h"
#include "media/album_art.h"
#include "platform/app_directory.h"
#include "platform/file_info.h"
#include "platform/thread.h"

namespace {

// Items read from the library at a time; their art is recorded in one transaction.
constexpr int32_t kBatchSize = 32;
constexpr const char* kNone = "-";

std::atomic<bool> g_stop{false};

// The art file name of a source: a hash of what it was made from, of the source's path,
// size and modification time, so that any change of the source names a new file.
std::optional<std::string> ArtName(char kind, const std::string& source) {
  std::optional<platform::FileStamp> stamp = platform::StampOf(source);
  if (!stamp) return std::nullopt;
  uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  auto mix = [&hash](std::string_view bytes) {
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ULL;
  };
  std::string stampText = std::to_string(stamp->size) + "/" + std::to_string(stamp->modifiedNs);
  mix(std::string_view(&kind, 1));
  mix(std::string_view(source.data(), source.size() + 1));  // with its terminator
  mix(stampText);
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.jpg", static_cast<unsigned long long>(hash));
  return name;
}

std::string ArtFile(const std::string& name) {
  return platform::AppPath(std::string(kAlbumArtDirectory) + "/" + name);
}

// The art `name` made by `make` unless it exists already; "-" when it cannot be made.
template <typename Make>
std::string Made(const std::string& name, Make make) {
  std::string path = ArtFile(name);
  if (platform::FileExists(path) || make(path)) return name;
  return kNone;
}

// A song's art comes from the picture in its tags, else from the folder picture. A
// broken picture in the tags gives none: it is what the file states as its cover.
std::string SongArt(const MediaRecord& record) {
  std::optional<std::string> embedded = ArtName('e', record.FilePath);
  if (!embedded) return kNone;
  if (platform::FileExists(ArtFile(*embedded))) return *embedded;
  std::string picture;
  if (media::AlbumArt_EmbeddedPicture(record.FilePath, &picture)) {
    return Made(*embedded, [&](const std::string& path) {
      return media::AlbumArt_FromEncoded(picture, path);
    });
  }
  std::string cover = CoverPath(record);
  std::optional<std::string> folder = cover.empty() ? std::nullopt : ArtName('c', cover);
  if (!folder) return kNone;
  return Made(*folder, [&](const std::string& path) {
    return media::AlbumArt_FromPictureFile(cover, path);
  });
}

std::string PictureArt(const MediaRecord& record) {
  std::optional<std::string> name = ArtName('p', record.FilePath);
  if (!name) return kNone;
  return Made(*name, [&](const std::string& path) {
    return media::AlbumArt_FromPictureFile(record.FilePath, path);
  });
}

// A video's art is a frame a tenth of the way in; a video that cannot be decoded has none.
std::string VideoArt(const MediaRecord& record) {
  std::optional<std::string> name = ArtName('v', record.FilePath);
  if (!name) return kNone;
  return Made(*name, [&](const std::string& path) {
    return media::AlbumArt_FromVideo(record.FilePath, path);
  });
}

// Files inside disc images have no path of their own to read.
std::string ArtOf(const MediaRecord& record) {
  if (record.Flags & kFlagDiscImage) return kNone;
  if (record.FileType == "Audio") return SongArt(record);
  if (record.FileType == "Image") return PictureArt(record);
  if (record.FileType == "Video") return VideoArt(record);
  return kNone;
}

bool MakeArtDirectory() {
  if (platform::AppDirectory().empty()) return false;
  ::mkdir(platform::AppPath("thumbnail").c_str(), 0755);
  std::string folder = platform::AppPath(std::string(kAlbumArtDirectory));
  ::mkdir(folder.c_str(), 0755);
  struct stat info {};
  return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct Worker {
  std::mutex mutex;
  std::condition_variable wake;
  bool kicked = false;
  std::thread thread;
};

void Stop(Worker* worker) {
  std::thread thread;
  {
    std::lock_guard lock(worker->mutex);
    g_stop.store(true);
    worker->kicked = false;
    thread = std::move(worker->thread);
  }
  worker->wake.notify_one();
  if (thread.joinable()) thread.join();
}

// A worker its owner forgot to stop is stopped at exit rather than left to terminate the
// process.
struct WorkerOwner {
  Worker worker;
  ~WorkerOwner() { Stop(&worker); }
};

Worker& TheWorker() {
  static WorkerOwner owner;
  return owner.worker;
}

void Run() {
  platform::SetCurrentThreadName("album art");
  platform::SetCurrentThreadPriorityIdle();
  Worker& worker = TheWorker();
  for (;;) {
    {
      std::unique_lock lock(worker.mutex);
      worker.wake.wait(lock, [&] { return worker.kicked || g_stop.load(); });
      if (g_stop.load()) return;
      worker.kicked = false;
    }
    AlbumArtWorker_RunPending();
  }
}

}  // namespace

int AlbumArtWorker_RunPending() {
  if (!MakeArtDirectory()) return 0;
  int done = 0;
  // One pass in the order of the object numbers: an item whose art could not be recorded
  // (its row was replaced meanwhile, or its path is longer than a record holds) is not
  // looked at again and again.
  int32_t after = -1;
  while (!g_stop.load()) {
    if (db_selectT(sql::AlbumArtPending(after, kBatchSize)) <= 0) break;
    std::vector<MediaRecord> items = db_selectResults();
    std::vector<Sql> art;
    for (const MediaRecord& item : items) {
      if (g_stop.load()) break;
      after = std::max(after, item.MyIndex);
      art.push_back(sql::UpdateAlbumArt(item.MyIndex, item.FilePath, ArtOf(item)));
    }
    LibraryTransaction transaction;
    if (!transaction.Active()) break;
    for (const Sql& update : art) db_execute(update);
    if (!transaction.Commit()) break;
    done += static_cast<int>(art.size());
    db_invalidateBrowse();
  }
  return done;
}

void AlbumArtWorker_Start() {
  Worker& worker = TheWorker();
  std::lock_guard lock(worker.mutex);
  if (!worker.thread.joinable()) {
    g_stop.store(false);
    worker.thread = std::thread(Run);
  }
  worker.kicked = true;
  worker.wake.notify_one();
}

void AlbumArtWorker_Kick() {
  Worker& worker = TheWorker();
  std::lock_guard lock(worker.mutex);
  if (!worker.thread.joinable()) return;
  worker.kicked = true;
  worker.wake.notify_one();
}

void AlbumArtWorker_Shutdown() { Stop(&TheWorker()); }
