#include "app/startup.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/app_controller.h"
#include "app/aux_web_server.h"
#include "app/library_counters.h"
#include "app/server_status.h"
#include "app/service.h"
#include "app/service_body.h"
#include "app/settings.h"
#include "app/settings_commands.h"
#include "delivery/encoder_source.h"
#include "gui/language.h"
#include "internet/stream_commands.h"
#include "library/build/album_art_worker.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "media/av_probe.h"
#include "platform/app_directory.h"
#include "platform/host.h"
#include "platform/log.h"
#include "platform/message_box.h"
#include "platform/single_instance.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "streamserver/stream_server.h"
#include "transcode/seek_index.h"

namespace {

// The period of the window's timer duties, also used by the headless loop.
constexpr int kTickPeriodMs = 250;
// How often a scan at start-up is checked, and how often its progress is printed.
constexpr long kScanPollMs = 100;
constexpr uint64_t kProgressPeriodMs = 1000;

std::atomic<bool> g_quitRequested{false};
std::atomic<bool> g_exitRunning{false};

DesktopRunner& Desktop() {
  static DesktopRunner runner;
  return runner;
}

void MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    platform::Logf("cannot create %s: %s\n", path.c_str(), std::strerror(errno));
  }
}

// Blocks the termination signals in this thread and every thread it starts later, so
// that only the run loop takes them (as a request to exit cleanly).
void BlockTerminationSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, set, nullptr);
}

// True once a termination signal has arrived (polled without waiting) or exit was asked.
bool QuitRequested(const sigset_t& signals) {
  if (g_quitRequested.load(std::memory_order_acquire)) return true;
  timespec now{0, 0};
  int signal = sigtimedwait(&signals, nullptr, &now);
  if (signal <= 0) return false;
  platform::Logf("Signal %d: shutting down.\n", signal);
  RequestExit();
  return true;
}

void RunHeadless(CAppController* controller, const sigset_t& signals) {
  platform::Logf("Orvex Media Server runs headless in %s; press Ctrl+C to stop.\n",
                 platform::AppDirectory().c_str());
  while (!g_quitRequested.load(std::memory_order_acquire)) {
    timespec period{0, kTickPeriodMs * 1000000L};
    int signal = sigtimedwait(&signals, nullptr, &period);
    if (signal > 0) {
      platform::Logf("Signal %d: shutting down.\n", signal);
      RequestExit();
      break;
    }
    controller->Tick(platform::TickCountMs());
  }
}

// Waits for the controller's scan, printing a progress line at most once a second.
// False when a termination signal stopped the scan.
bool WaitForScan(CAppController* controller, const sigset_t& signals) {
  uint64_t lastLine = platform::TickCountMs();
  while (controller->ScanRunning()) {
    timespec poll{0, kScanPollMs * 1000000L};
    if (sigtimedwait(&signals, nullptr, &poll) > 0) {
      platform::Log("Interrupted: stopping the scan.\n");
      controller->AbortScan();
      return false;
    }
    uint64_t now = platform::TickCountMs();
    if (now - lastLine >= kProgressPeriodMs && controller->ScanRunning()) {
      platform::Log(controller->ScanProgressLine() + "\n");
      lastLine = now;
    }
  }
  controller->CompleteScan();
  platform::Log(controller->ScanProgressLine() + " (done)\n");
  return true;
}

// The library changes asked for on the command line. Returns 0, 2 for a folder that is
// not shared but should be unshared or refreshed (or a stream that cannot be changed),
// 1 when the library failed, or -1 when interrupted.
int RunLibraryCommands(CAppController* controller, const CommandLine& cl, const sigset_t& signals) {
  if (cl.clear) {
    controller->ClearLibrary();
    platform::Log("The library is empty and no folder is shared.\n");
  }
  // A scan that an earlier run did not finish (killed, or ended during the scan) is
  // finished before anything else, so that what is announced is whole.
  std::vector<std::string> unfinished = controller->FinishUnfinishedScans();
  if (!unfinished.empty()) {
    std::string list;
    for (const std::string& folder : unfinished) list += (list.empty() ? "" : ", ") + folder;
    platform::Log("The last run left its scan unfinished; finishing it: " + list + "\n");
    if (!WaitForScan(controller, signals)) return -1;
  }
  for (const std::string& folder : cl.unshare) {
    if (!controller->RemoveFolder(folder)) {
      platform::Logf("mirelle: %s is not a shared folder\n", folder.c_str());
      return 2;
    }
    platform::Logf("Stopped sharing %s.\n", folder.c_str());
  }
  if (!cl.share.empty()) {
    std::vector<std::string> already;
    controller->AddFolders(cl.share, &already);
    for (const std::string& folder : already) {
      platform::Logf("%s is shared already; --refresh scans it again.\n", folder.c_str());
    }
    if (!WaitForScan(controller, signals)) return -1;
  }
  for (const std::string& folder : cl.refresh) {
    if (!controller->RefreshFolder(folder)) {
      platform::Logf("mirelle: %s is not a shared folder\n", folder.c_str());
      return 2;
    }
    if (!WaitForScan(controller, signals)) return -1;
  }
  if (cl.rescan && (!controller->RescanAll() || !WaitForScan(controller, signals))) return -1;
  if (!cl.streams.empty() || cl.listStreams) {
    int status = Internet_RunStreamCommands(cl.streams, cl.listStreams, stdout, stderr);
    if (status != 0) return status;
  }
  return 0;
}

// The answer of --print-udn. It may run beside a copy that serves this directory: the
// library is shared through its own locks, the identity is made (when missing) in one
// transaction, and the file is closed without compacting it under the other copy.
int PrintUdn() {
  if (!db_open()) {
    platform::MessageBox("Error", "Cannot open database");
    return 1;
  }
  DeviceIdentity identity;
  bool loaded = LoadDeviceIdentity(&identity);
  db_close(false);
  if (!loaded) {
    platform::Log("mirelle: the library holds no device identity and cannot store one\n");
    return 1;
  }
  std::printf("uuid:%s\n", identity.udn.c_str());
  return 0;
}

// --set, --get and --settings on the library, which may be in use by a running copy (as
// for --print-udn); that copy reads the changes at its next start. 2 for a bad key or
// value, with nothing changed.
int RunSettingsCommands(const CommandLine& commandLine) {
  if (!db_open()) {
    platform::MessageBox("Error", "Cannot open database");
    return 1;
  }
  ApplyStartupSettings();
  std::string error;
  std::string out;
  bool ok = true;
  for (const SettingChange& change : commandLine.set) {
    if (platform::AsciiEqualsNoCase(change.key, kShareKey)) {
      error = "folders are shared with --share DIR and unshared with --unshare DIR";
      ok = false;
    }
  }
  ok = ok && (commandLine.set.empty() || ApplySettingChanges(commandLine.set, &error));
  for (size_t i = 0; ok && i < commandLine.get.size(); ++i) {
    std::string value;
    ok = GetSettingByName(commandLine.get[i], &value, &error);
    out += value + "\n";
  }
  if (ok && commandLine.listSettings) out += ListSettings();
  db_close(false);
  if (!ok) {
    platform::Log(platform::LogLevel::kError, "mirelle: " + error + "\n");
    return 2;
  }
  std::fputs(out.c_str(), stdout);
  return 0;
}

// The UDN and serial number that every start of the service announces, made on the first
// run (or the first run of this version) and kept in the library from then on.
void LoadServiceIdentity() {
  DeviceIdentity identity;
  if (LoadDeviceIdentity(&identity)) {
    SetServiceIdentity(identity);
  } else {
    platform::Log("The device identity cannot be stored; this run announces one of its own.\n");
  }
}

void Shutdown(CAppController* controller) {
  // The watcher ends first: it writes to the library and waits for the scan mutex.
  if (controller != nullptr) controller->StopWatching();
  if (MediaServerService_IsRunning()) MediaServerService_Stop();
  StopLighttpd();
  StreamServer_Shutdown();
  // Wait for a running scan to finish its current entry and release the library.
  Scanner().abort.store(true, std::memory_order_release);
  { std::lock_guard scanDone(Scanner().filesMutex); }
  IndexCacheShutdown();
  AlbumArtWorker_Shutdown();
  db_close();
}

}  // namespace

void PrepareWorkingDirectories() {
  const std::string thumbnails = platform::AppPath("thumbnail");
  if (DIR* dir = ::opendir(thumbnails.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string path = thumbnails + "/" + entry->d_name;
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
      ::chmod(path.c_str(), 0644);
      if (::unlink(path.c_str()) != 0) break;
    }
    ::closedir(dir);
  }
  MakeDirectory(thumbnails);
  MakeDirectory(platform::AppPath("cache"));
  MakeDirectory(platform::AppPath("etc"));
}

bool RunFirstTimeSetup(const std::string& computerName) {
  std::string flag;
  if (!db_getAVP(kKeyRunFirstTime, &flag) || !platform::AsciiEqualsNoCase(flag, "TRUE")) {
    return false;
  }
  db_setAVP(kKeyRunFirstTime, "FALSE");
  if (!computerName.empty()) {
    std::string name = ReadSetting(kKeyServerName);
    if (name.empty()) name = kFirstRunServerName;
    db_setAVP(kKeyServerName, name + " (" + computerName + ")");
  }
  FST_BuildTree();
  return true;
}

void RequestExit() {
  if (g_exitRunning.exchange(true)) return;
  Scanner().abort.store(true, std::memory_order_release);
  IndexStopFlag.store(true, std::memory_order_release);
  if (MediaServerService_IsRunning()) MediaServerService_Stop();
  g_quitRequested.store(true, std::memory_order_release);
}

int ApplicationStart(const CommandLine& commandLine) {
  sigset_t signals;
  BlockTerminationSignals(&signals);
  g_quitRequested = false;
  g_exitRunning = false;

  platform::InitAppDirectory(commandLine.home);
  // The status only reads: a program directory that is missing is not made for it.
  if (commandLine.status) return PrintServerStatus();
  std::string directoryError;
  if (!platform::PrepareAppDirectory(&directoryError)) {
    platform::Log(platform::LogLevel::kError, "mirelle: " + directoryError + "\n");
    return 1;
  }
  if (commandLine.printUdn) return PrintUdn();
  // The configuration is checked whole before the library is touched.
  std::vector<SettingChange> configured;
  const bool configGiven = !commandLine.config.empty();
  const std::string configPath = configGiven ? commandLine.config : kDefaultConfigFile;
  std::string configError;
  if ((configGiven || ::access(configPath.c_str(), F_OK) == 0) &&
      !ReadSettingsFile(configPath, &configured, &configError)) {
    platform::Log(platform::LogLevel::kError, "mirelle: " + configError + "\n");
    return 2;
  }
  if (!commandLine.set.empty() || !commandLine.get.empty() || commandLine.listSettings) {
    return RunSettingsCommands(commandLine);
  }

  bool anotherRunning = false;
  bool desktop =
      !commandLine.headless && Desktop().run && Desktop().available && Desktop().available();
  auto instance = platform::SingleInstance::Acquire(
      platform::AppDirectory(),
      [desktop] {
        if (desktop && Desktop().show) {
          Desktop().show();
        } else {
          platform::Log("Another copy asked to show the window; running headless.\n");
        }
      },
      &anotherRunning, ServerStatusAnswer);
  if (anotherRunning) {
    platform::Log("Orvex Media Server already runs here; it was asked to show its window.\n");
    return 0;
  }

  PrepareWorkingDirectories();
  platform::Log("No firewall list to update on this system.\n");

  if (!db_open()) {
    platform::MessageBox("Error", "Cannot open database");
    return 1;
  }
  // Translations, and the code page that playlists and tags of 8-bit text are read in.
  LoadLanguageFile();
  RunFirstTimeSetup(platform::ComputerName());
  LoadServiceIdentity();
  // The configuration's folders join the command line's, each shared (and scanned) once.
  CommandLine withConfig = commandLine;
  if (!configured.empty()) {
    std::string unused;
    ApplySettingChanges(configured, &unused);
    LoadLanguageFile();
    for (std::string& folder : FoldersToShare(configured)) {
      if (std::find(withConfig.share.begin(), withConfig.share.end(), folder) ==
          withConfig.share.end()) {
        withConfig.share.push_back(std::move(folder));
      }
    }
  }
  if (commandLine.nameGiven) db_setAVP(kKeyServerName, commandLine.name);
  LoadLibraryCounters();
  ApplyStartupSettings();
  LoadFilterTables();
  if (!IndexCacheStart()) platform::Log("The seek index worker could not start.\n");
  // Video files are probed by a child of ours, so FFmpeg never stays loaded in the server.
  media::AvProbe_UseChild(platform::ExecutableDirectory() + "/mirelle");
  // Clients that cannot play a file get the encoder's stream through the transfers.
  EncoderSource_Register();

  InstallServiceBody();
  CAppController controller;
  Scan_LoadLibraryTotals();
  int status = RunLibraryCommands(&controller, withConfig, signals);
  // Stream changes and the stream list are answers of their own, like a tool's.
  bool streamCommandsOnly = !commandLine.streams.empty() || commandLine.listStreams;
  if (status != 0 || commandLine.scanOnly || streamCommandsOnly) {
    Shutdown(&controller);
    return status < 0 ? 0 : status;
  }
  // The album art of what the library holds is made in the background from now on; the
  // items that scans and the watcher store later get theirs after each scan or arrival.
  AlbumArtWorker_Start();
  controller.StartWatching();
  // The two helpers of the media server: the stream server sends audio, video and disc
  // files, the auxiliary web server the ".mkv" items.
  StreamServer_Start();
  StartLighttpd();
  if (!controller.StartServiceIfShared()) {
    platform::MessageBox("Error", "Cannot Start Media Server Service");
    Shutdown(&controller);
    return 1;
  }
  int exitStatus = 0;
  if (desktop) {
    exitStatus = Desktop().run(controller, [&signals] { return QuitRequested(signals); });
  } else {
    RunHeadless(&controller, signals);
  }
  Shutdown(&controller);
  return exitStatus;
}

void InstallDesktopRunner(DesktopRunner runner) { Desktop() = std::move(runner); }
