#include "library/build/album_art_worker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "platform/log.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "platform/unique_fd.h"

namespace {

// Items read from the library at a time; their art is made by one child and recorded in
// one transaction.
constexpr int32_t kBatchSize = 64;
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

// The art is made by a short-lived child process, `mirelle --make-album-art`, so that the
// server never loads the picture and video decoders (and the forty-odd libraries they pull
// in, whose pages would stay resident) nor runs them on a hostile file. The server decides
// which items need art and names the files; the child only decodes and writes them.
//
// A job travels as kJobArguments arguments: its kind ('s' song, 'p' picture, 'v' video),
// its source, its target, and for a song with a folder picture that picture and its
// target (else two empty arguments). For each job the child appends one letter to the
// outcome file: which target it chose ('t' its own, 'c' the folder picture's, '-' none).
// The art is that target when the file exists; a job without a letter was not finished.
constexpr int kJobArguments = 5;
constexpr char kOwnTarget = 't';
constexpr char kCoverTarget = 'c';
constexpr char kNoTarget = '-';

// A job that takes longer is ended, so that a file that hangs a decoder costs its own art
// and no more; the child's start-up counts towards its first job.
constexpr int kJobLimitMs = 30000;
// How often the parent looks at the child's progress and at the stop flag.
constexpr int kPollMs = 100;
constexpr int kTerminateGraceMs = 500;

struct Job {
  char kind = 0;
  std::string source;
  std::string name;  // the art file name of `source`
  std::string cover;
  std::string coverName;
};

// The art an item has without the child, or the job that makes it (art empty).
struct Plan {
  std::string art;
  std::optional<Job> job;
};

Plan Known(std::string art) { return {std::move(art), std::nullopt}; }

// A song's art comes from the picture in its tags, else from the folder picture: the
// child reads the tags.
Plan SongPlan(const MediaRecord& record) {
  std::optional<std::string> embedded = ArtName('e', record.FilePath);
  if (!embedded) return Known(kNone);
  if (platform::FileExists(ArtFile(*embedded))) return Known(*embedded);
  Job job{'s', record.FilePath, *embedded, {}, {}};
  std::string cover = CoverPath(record);
  std::optional<std::string> folder = cover.empty() ? std::nullopt : ArtName('c', cover);
  if (folder) {
    job.cover = cover;
    job.coverName = *folder;
  }
  return {{}, std::move(job)};
}

// A picture's art is the picture scaled; a video's is a frame a tenth of the way in.
Plan FilePlan(const MediaRecord& record, char kind) {
  std::optional<std::string> name = ArtName(kind, record.FilePath);
  if (!name) return Known(kNone);
  if (platform::FileExists(ArtFile(*name))) return Known(*name);
  return {{}, Job{kind, record.FilePath, *name, {}, {}}};
}

// Files inside disc images have no path of their own to read.
Plan PlanOf(const MediaRecord& record) {
  if (record.Flags & kFlagDiscImage) return Known(kNone);
  if (record.FileType == "Audio") return SongPlan(record);
  if (record.FileType == "Image") return FilePlan(record, 'p');
  if (record.FileType == "Video") return FilePlan(record, 'v');
  return Known(kNone);
}

// The art a job gave, from the letter the child wrote for it.
std::string Outcome(const Job& job, char letter) {
  const std::string* name = letter == kOwnTarget     ? &job.name
                            : letter == kCoverTarget ? &job.coverName
                                                     : nullptr;
  if (name == nullptr || name->empty() || !platform::FileExists(ArtFile(*name))) return kNone;
  return *name;
}

int64_t OutcomeSize(const std::string& path) {
  std::optional<platform::FileStamp> stamp = platform::StampOf(path);
  return stamp ? stamp->size : 0;
}

// What one child made of `jobs`.
struct ChildRun {
  bool started = false;
  bool stopped = false;  // the worker was told to stop meanwhile
  std::string letters;   // one per finished job
};

// Runs one child on `jobs` and waits for it, ending it when a job overruns kJobLimitMs or
// the worker is told to stop. The child lowers its own priority to idle.
ChildRun RunChild(const std::vector<Job>& jobs) {
  ChildRun run;
  std::string outcome = platform::AppPath("thumbnail/art-outcome");
  std::remove(outcome.c_str());
  std::vector<std::string> args{kAlbumArtMakerFlag, outcome};
  for (const Job& job : jobs) {
    args.insert(args.end(), {std::string(1, job.kind), job.source, ArtFile(job.name), job.cover,
                             job.coverName.empty() ? std::string() : ArtFile(job.coverName)});
  }
  platform::ProcessOptions options;
  options.output = platform::Redirect::Null();
  options.endWithParent = true;  // a child on a file that hangs must not outlive us
  platform::Process child;
  run.started = child.Start(platform::ExecutableDirectory() + "/mirelle", args, options) == 0;
  if (!run.started) platform::Logf("album art: cannot start its maker\n");
  int64_t done = 0;
  uint64_t jobStart = platform::TickCountMs();
  while (run.started && !child.Wait(kPollMs)) {
    int64_t now = OutcomeSize(outcome);
    if (now != done) {
      done = now;
      jobStart = platform::TickCountMs();
    }
    run.stopped = g_stop.load();
    if (run.stopped) {
      // The process is ending: a child at idle priority may take long to die on a busy
      // machine, and the end must not wait for it.
      child.Abandon();
      break;
    }
    if (platform::TickCountMs() - jobStart > kJobLimitMs) {
      child.Terminate(kTerminateGraceMs);
      break;
    }
  }
  if (FILE* file = std::fopen(outcome.c_str(), "rb")) {
    run.letters.resize(jobs.size());
    run.letters.resize(std::fread(run.letters.data(), 1, jobs.size(), file));
    std::fclose(file);
  }
  std::remove(outcome.c_str());
  return run;
}

// Makes one job's art in the child and tells which target it chose. A picture in the
// tags wins, even a broken one, which then gives no art: it is what the file states as
// its cover; only a song without one falls back to the folder picture.
char MakeJob(char kind, const std::string& source, const std::string& target,
             const std::string& cover, const std::string& coverTarget) {
  if (kind == 'p') return media::AlbumArt_FromPictureFile(source, target) ? kOwnTarget : kNoTarget;
  if (kind == 'v') return media::AlbumArt_FromVideo(source, target) ? kOwnTarget : kNoTarget;
  if (kind != 's') return kNoTarget;
  std::string picture;
  if (media::AlbumArt_EmbeddedPicture(source, &picture)) {
    return media::AlbumArt_FromEncoded(picture, target) ? kOwnTarget : kNoTarget;
  }
  if (cover.empty() || coverTarget.empty()) return kNoTarget;
  // Songs of one folder share its picture's art: it may be made already.
  if (platform::FileExists(coverTarget) || media::AlbumArt_FromPictureFile(cover, coverTarget)) {
    return kCoverTarget;
  }
  return kNoTarget;
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
  // This thread keeps its normal priority although its work is background work: it takes
  // the library's lock for each batch, and at idle priority a busy machine (a transcode,
  // say) could leave it holding that lock for seconds while a Browse waits, or hold up
  // the end of the process. The decoding, where the processor time goes, runs in the
  // child at idle priority.
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
    std::sort(items.begin(), items.end(),
              [](const MediaRecord& a, const MediaRecord& b) { return a.MyIndex < b.MyIndex; });
    std::vector<Plan> plans;
    std::vector<Job> jobs;
    for (const MediaRecord& item : items) {
      plans.push_back(PlanOf(item));
      if (plans.back().job) jobs.push_back(*plans.back().job);
    }
    ChildRun run;
    if (!jobs.empty()) run = RunChild(jobs);
    // A child that did not finish records "-" for the job it was on (the file that ended
    // it, or that it could not start for) and leaves the items after it for this pass to
    // look at again with a new child: each child settles at least one item, so a file that
    // crashes the child cannot make it start again and again.
    size_t job = 0;
    bool settled = true;
    std::vector<Sql> art;
    for (size_t i = 0; i < items.size() && settled; ++i) {
      std::string result = plans[i].art;
      if (plans[i].job) {
        if (job < run.letters.size()) {
          result = Outcome(*plans[i].job, run.letters[job]);
        } else if (run.stopped) {
          break;
        } else {
          result = kNone;
          settled = run.started;
        }
        ++job;
      }
      after = items[i].MyIndex;
      art.push_back(sql::UpdateAlbumArt(items[i].MyIndex, items[i].FilePath, result));
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

int AlbumArtWorker_MakeArt(int argc, char** argv) {
  if (argc < 1 || (argc - 1) % kJobArguments != 0) return 2;
  platform::SetCurrentThreadPriorityIdle();
  platform::UniqueFd outcome(::open(argv[0], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!outcome.Valid()) return 1;
  for (int i = 1; i < argc; i += kJobArguments) {
    char letter = MakeJob(argv[i][0], argv[i + 1], argv[i + 2], argv[i + 3], argv[i + 4]);
    if (::write(outcome.Get(), &letter, 1) != 1) return 1;
  }
  return 0;
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
