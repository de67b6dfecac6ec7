#include "app/startup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "library/build/testing/scan_library.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/process.h"
#include "platform/testing/test_support.h"

namespace {

namespace fs = std::filesystem;

// The rows of a query on a library file, each as its columns followed by "|", read through
// a connection of its own (so while a program writes, too).
std::vector<std::string> Rows(const std::string& file, const char* query) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, query, -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
          const unsigned char* text = sqlite3_column_text(stmt, c);
          row += std::string(text ? reinterpret_cast<const char*>(text) : "") + "|";
        }
        rows.push_back(row);
      }
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return rows;
}

// The real program in a temporary program directory. These tests run in the machine's
// own network namespace, so none of them may leave the service running with shared
// media (which would announce it): the server is started only on an empty library or
// with --scan-only. The announced server is tested inside a private namespace.
class ProgramTest : public ::testing::Test {
 protected:
  int Start(platform::Process* p, std::vector<std::string> args, const std::string& log) {
    platform::ProcessOptions options;
    options.error = platform::Redirect::File(dir_.Join(log));
    options.output = platform::Redirect::File(dir_.Join(log + ".out"));
    return p->Start(MIRELLE_PATH, args, options);
  }

  // Runs the program to its end (at most 20 s) and returns its exit code.
  int Run(std::vector<std::string> args, const std::string& log = "run.log") {
    platform::Process p;
    EXPECT_EQ(Start(&p, std::move(args), log), 0);
    EXPECT_TRUE(p.Wait(20000));
    return p.ExitCode().value_or(-1);
  }

  std::string Read(const std::string& name) { return platform::testing::ReadFile(dir_.Join(name)); }

  bool WaitForText(const std::string& name, const std::string& text, int timeoutMs) {
    return platform::testing::WaitUntil([&] { return Read(name).find(text) != std::string::npos; },
                                        timeoutMs);
  }

  platform::testing::TempDir dir_;
  const std::string home_ = dir_.path();
};

TEST_F(ProgramTest, SecondCopyAsksTheFirstToShowItselfAndExitsWithZero) {
  platform::Process first;
  ASSERT_EQ(Start(&first, {"--home", home_, "--headless"}, "first.log"), 0);
  ASSERT_TRUE(WaitForText("first.log", "runs headless", 10000));
  EXPECT_EQ(Run({"--home", home_, "--headless"}, "second.log"), 0);
  EXPECT_NE(Read("second.log").find("already runs"), std::string::npos);
  EXPECT_TRUE(WaitForText("first.log", "asked to show", 5000)) << Read("first.log");
  EXPECT_TRUE(first.IsRunning());
  kill(first.Pid(), SIGINT);
  ASSERT_TRUE(first.Wait(10000));
  EXPECT_EQ(first.ExitCode().value_or(-1), 0);
}

// Runs that cannot do what they are asked end with a message and status 1 (the library
// cannot be opened) or 2 (bad options, folders that are not there), and make no library.
// --help and --version are the package test's.
TEST_F(ProgramTest, RunsThatCannotGoOnSayWhyAndEndWithTheirStatus) {
  for (auto [args, status, message] :
       std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{"--bogus"}, 2, "unknown option --bogus"},
           {{"--name", "a:b"}, 2, "Server name cannot be empty string or contain \\/:*?\"<>|"},
           {{"--share", home_ + "/missing", "--scan-only"}, 2, "does not exist"}}) {
    args.insert(args.begin(), {"--home", home_});
    EXPECT_EQ(Run(args), status) << message;
    EXPECT_NE(Read("run.log").find(message), std::string::npos) << Read("run.log");
  }
  EXPECT_EQ(Run({"--home"}), 2);
  EXPECT_FALSE(std::filesystem::exists(home_ + "/Orvex.mdb"));
  std::ofstream(home_ + "/Orvex.mdb") << "not a library at all, just text";
  for (const char* option : {"--headless", "--print-udn", "--settings"}) {
    EXPECT_EQ(Run({"--home", home_, option}), 1) << option;
    EXPECT_NE(Read("run.log").find("Error: Cannot open database"), std::string::npos) << option;
  }
}

// Settings by name through the program: --set, --get and --settings on the library, and
// a configuration file checked whole (with the line of its first fault) before a start
// applies it. Each key's refusals and all-or-none are the settings test's.
TEST_F(ProgramTest, SettingsAreChangedByNameAndFromAConfigurationFileAllOrNone) {
  setenv("XDG_CONFIG_HOME", dir_.Join("config").c_str(), 1);
  const std::vector<std::string> home = {"--home", home_};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), home.begin(), home.end());
    return Run(args);
  };
  EXPECT_EQ(run({"--set", "quality=2", "--set", "language = German", "--get", "quality"}), 0);
  EXPECT_EQ(Read("run.log.out"), "2\n");

  // Every key; the folder is shared by the start that reads the file, with only the
  // listed types.
  const std::string media = dir_.Join("media");
  fs::create_directories(media);
  platform::testing::WriteWav(media + "/tone.wav");
  const std::string config = dir_.Join("orvex.conf");
  std::ofstream(config) << "# every key\nname = Den\nautostart = yes\nminimized = on\n\n"
                           "transcoding = true\nquality = 1\nlanguage = french\nprecache = 1\n"
                           "video-types = .mkv\nmusic-types = .ogg  .FLAC\n"
                           "picture-types = .png\nplaylist-types = .m3u\nshare = "
                        << media << "/\n";
  ASSERT_EQ(run({"--config", config, "--scan-only"}), 0) << Read("run.log");
  EXPECT_NE(Read("run.log").find(" 0 audio"), std::string::npos) << Read("run.log");
  EXPECT_EQ(run({"--settings"}), 0);
  EXPECT_EQ(Read("run.log.out"),
            "name = Den\nautostart = yes\nminimized = yes\ntranscoding = yes\nquality = 1\n"
            "language = french\nprecache = yes\nvideo-types = .mkv\nmusic-types = .ogg .FLAC\n"
            "picture-types = .png\nplaylist-types = .m3u\nshare = " +
                media + "\n");
  ASSERT_EQ(run({"--set", "music-types=.wav"}), 0);
  ASSERT_EQ(run({"--config", config, "--refresh", media, "--scan-only"}), 0);
  EXPECT_NE(Read("run.log").find(" 0 audio"), std::string::npos) << "config applies again";
  EXPECT_EQ(Read("run.log").find("shared already"), std::string::npos) << Read("run.log");
  ASSERT_EQ(run({"--set", "music-types=.wav"}), 0);
  ASSERT_EQ(run({"--refresh", media, "--scan-only"}), 0);
  EXPECT_NE(Read("run.log").find(" 1 audio"), std::string::npos) << Read("run.log");
  EXPECT_EQ(run({"--set", "music-types=wav"}), 2);
  EXPECT_EQ(run({"--set", "share=" + media}), 2);
  EXPECT_TRUE(fs::exists(dir_.Join("config/autostart/Orvex.desktop")));

  for (auto [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"quality = 0\n# note\nvolume = 3\n", ":3: unknown setting volume"},
           {"quality\n", ":1: \"quality\" is not key = value"}}) {
    std::ofstream(config) << text;
    EXPECT_EQ(run({"--config", config, "--scan-only"}), 2) << text;
    EXPECT_NE(Read("run.log").find(config + message), std::string::npos) << Read("run.log");
  }
  EXPECT_EQ(run({"--config", dir_.Join("missing.conf"), "--scan-only"}), 2);
  EXPECT_NE(Read("run.log").find("missing.conf: cannot be read"), std::string::npos);
  EXPECT_EQ(run({"--get", "quality"}), 0);
  EXPECT_EQ(Read("run.log.out"), "1\n");
  unsetenv("XDG_CONFIG_HOME");
}

// A library file that fails its check at start-up is reported, kept aside as it was, and
// replaced by a new library, which the start then sets up like a first run.
TEST_F(ProgramTest, DamagedLibraryIsKeptAsideAndANewOneIsMade) {
  ASSERT_EQ(Run({"--home", home_, "--scan-only"}), 0);
  const std::string file = home_ + "/Orvex.mdb";
  const size_t size = fs::file_size(file);
  ASSERT_GT(size, 8192u);
  {
    // Every page but the first, which holds the header and the list of tables.
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096);
    f << std::string(size - 4096, 'Z');
  }
  const std::string damaged = Read("Orvex.mdb");
  ASSERT_EQ(Run({"--home", home_, "--scan-only"}), 0);
  const std::string log = Read("run.log");
  const std::string kept = "It was kept as " + file + ".damaged-";
  ASSERT_NE(log.find(kept), std::string::npos) << log;
  const std::string copy = log.substr(log.find(kept) + 15, file.size() + 24);
  EXPECT_EQ(Read(fs::path(copy).filename()), damaged) << copy;
  EXPECT_EQ(Rows(file, "pragma integrity_check"), std::vector<std::string>{"ok|"});
  EXPECT_EQ(Rows(file, "select count(*) from FSE_QueryState"), std::vector<std::string>{"28|"});
}

TEST_F(ProgramTest, ShareScanOnlyUnshareAndClearChangeTheLibrary) {
  std::string media = home_ + "/media";
  fs::create_directories(media + "/sub");
  platform::testing::WriteWav(media + "/sub/tone \"one\".wav");
  ASSERT_EQ(Run({"--home", home_, "--share", media, "--scan-only"}), 0);
  EXPECT_NE(Read("run.log").find("1 audio"), std::string::npos) << Read("run.log");
  auto count = [&](const Sql& q) {
    TempLibrary probe;
    db_close();
    EXPECT_EQ(db_openAt(home_ + "/Orvex.mdb"), 1);
    return db_getCount(q);
  };
  EXPECT_EQ(count(sql::CountAudioItems()), 1);
  EXPECT_EQ(count(sql::SharedFolder(media)), 1);

  // Sharing again scans nothing; refreshing a folder that is not shared is refused.
  EXPECT_EQ(Run({"--home", home_, "--share", media, "--scan-only"}), 0);
  EXPECT_NE(Read("run.log").find("shared already"), std::string::npos);
  EXPECT_EQ(Run({"--home", home_, "--refresh", home_, "--scan-only"}), 2);
  EXPECT_EQ(Run({"--home", home_, "--refresh", media, "--scan-only"}), 0);
  EXPECT_EQ(count(sql::CountAudioItems()), 1);

  EXPECT_EQ(Run({"--home", home_, "--unshare", media, "--scan-only"}), 0);
  EXPECT_EQ(count(sql::CountAudioItems()), 0);
  EXPECT_EQ(Run({"--home", home_, "--unshare", media, "--scan-only"}), 2);
  EXPECT_EQ(Run({"--home", home_, "--remove-stream", "http://no/", "--kind", "audio"}), 2);

  EXPECT_EQ(Run({"--home", home_, "--share", media, "--clear", "--scan-only"}), 0);
  EXPECT_EQ(count(sql::CountAudioItems()), 1);
  EXPECT_EQ(Run({"--home", home_, "--clear", "--scan-only"}), 0);
  EXPECT_EQ(count(sql::AllSharedFolders()), 0);
  EXPECT_EQ(count(sql::AllObjects()), 28);
}

// A library file's objects as they would read in any library of the same content: each
// object named by the route of file names from its fixed container down, whatever numbers
// it was given.
std::vector<std::string> LibraryContent(const std::string& file) {
  std::vector<std::string> rows =
      Rows(file,
           "with recursive Walk(MyIndex, Route, Depth) as (select MyIndex, MyIndex, 0 from "
           "FSE_QueryState where MyIndex < 28 union all select o.MyIndex, w.Route || '/' || "
           "o.FileName, w.Depth + 1 from FSE_QueryState o join Walk w on o.pIndex = w.MyIndex "
           "where o.MyIndex >= 28 and w.Depth < 64) select w.Route, o.ObjectType, o.FilePath, "
           "o.Flags, o.FileType, o.Album, o.Author, o.Genre, o.Title, o.FileSize, o.CDCover from "
           "Walk w join FSE_QueryState o on o.MyIndex = w.MyIndex");
  std::sort(rows.begin(), rows.end());
  return rows;
}

// The items of "All Music", or -1 while they cannot be read.
int SongsStored(const std::string& file) {
  std::vector<std::string> rows =
      Rows(file, "select count(*) from FSE_QueryState where pIndex = 7 and ObjectType = 1");
  return rows.empty() ? -1 : std::stoi(rows.front());
}

// A scan killed at any moment (here: while adding, refreshing and rebuilding, and while
// being finished) leaves a consistent library, and the next start finishes it and says
// so; the library then holds what a scan that ran through holds, each object once.
TEST_F(ProgramTest, ScanKilledAnywhereIsFinishedByTheNextStart) {
  constexpr int kSongs = 3000;
  const std::string media = home_ + "/media";
  ASSERT_TRUE(scan_test::WriteMp3(home_ + "/song.mp3", {"Title", "Artist", "Album", "Genre", "1"}));
  for (int d = 0; d < 30; ++d) {
    fs::create_directories(media + "/d" + std::to_string(d));
    for (int i = 0; i < kSongs / 30; ++i) {
      fs::create_hard_link(home_ + "/song.mp3",
                           media + "/d" + std::to_string(d) + "/s" + std::to_string(i) + ".mp3");
    }
  }
  ASSERT_EQ(Run({"--home", home_ + "/clean", "--share", media, "--scan-only"}), 0);
  const std::vector<std::string> clean = LibraryContent(home_ + "/clean/Orvex.mdb");
  ASSERT_EQ(SongsStored(home_ + "/clean/Orvex.mdb"), kSongs);

  const std::string home = home_ + "/killed";
  const std::string library = home + "/Orvex.mdb";
  // Starts the program and kills it once the songs stored satisfy `due`.
  auto killWhen = [&](std::vector<std::string> args, std::function<bool(int)> due) {
    args.insert(args.begin(), {"--home", home});
    platform::Process p;
    ASSERT_EQ(Start(&p, args, "killed.log"), 0);
    while (p.IsRunning() && !due(SongsStored(library))) platform::SleepMs(1);
    const pid_t pid = p.Pid();  // 0 once the run has ended and been reaped
    ASSERT_GT(pid, 0) << "the run ended before its kill point";
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ASSERT_TRUE(p.Wait(10000));
    ASSERT_EQ(p.ExitCode(), 128 + SIGKILL) << "the run ended before its kill point";
    // What the killed run committed is whole: no half-stored file, no orphaned object.
    EXPECT_EQ(scan_test::ConsistencyFaults(library), std::vector<std::string>{});
  };
  auto finish = [&] {
    EXPECT_EQ(Run({"--home", home, "--scan-only"}, "finish.log"), 0);
    EXPECT_NE(Read("finish.log").find("unfinished; finishing it: " + media), std::string::npos)
        << Read("finish.log");
    EXPECT_EQ(LibraryContent(library), clean);
    EXPECT_EQ(scan_test::ConsistencyFaults(library), std::vector<std::string>{});
  };
  const std::vector<std::string> share = {"--share", media, "--scan-only"};
  for (int at : {1, kSongs / 3, kSongs * 2 / 3}) {
    SCOPED_TRACE(at);
    fs::remove_all(home);
    killWhen(share, [at](int n) { return n >= at; });
    finish();
  }
  // The finishing run killed in its turn.
  fs::remove_all(home);
  killWhen(share, [](int n) { return n >= kSongs / 3; });
  killWhen({"--scan-only"}, [](int n) { return n >= kSongs * 2 / 3; });
  finish();
  // A refresh killed while it deletes the folder's objects or stores them again.
  killWhen({"--refresh", media, "--scan-only"}, [](int n) { return n >= 0 && n < kSongs / 2; });
  finish();
  // A rebuild of the whole library killed after it emptied the library.
  bool emptied = false;
  killWhen({"--rescan", "--scan-only"}, [&](int n) {
    emptied = emptied || (n >= 0 && n < kSongs / 3);
    return emptied && n >= kSongs / 3;
  });
  finish();
  // Nothing is left to finish.
  EXPECT_EQ(Run({"--home", home, "--scan-only"}, "again.log"), 0);
  EXPECT_EQ(Read("again.log").find("finishing"), std::string::npos);
}

}  // namespace
