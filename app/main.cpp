#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/command_line.h"
#include "app/startup.h"
#include "library/build/album_art_worker.h"
#include "media/av_probe.h"
#include "platform/process.h"

#ifdef ORVEX_WITH_DESKTOP
#include <functional>

#include "controlpoint/renderer_control_point.h"
#include "gui/run_window.h"
#include "internet/youtube_feeds.h"
#include "platform/log.h"
#include "platform/tick.h"
#endif

#ifndef ORVEX_WITH_DESKTOP
#include "platform/app_directory.h"
#include "platform/host.h"
#endif

#ifndef ORVEX_VERSION
#define ORVEX_VERSION "0.0.0"
#endif

#ifdef ORVEX_WITH_DESKTOP
namespace {

// An exit while the feed updater is busy waits this long for it before going on.
constexpr uint64_t kFeedStopWaitMs = 3000;

// The window mode. The renderer list and the internet feeds belong to the desktop: a
// headless server has no page to show renderers on and no window to start the feeds.
int RunDesktop(CAppController& controller, std::function<bool()> quitRequested) {
  controlpoint::RendererControlPoint renderers;
  if (renderers.Start() != 0) platform::Log("The renderer list cannot search the network.\n");
  YouTubeUpdaterStart();
  ConfigurationWindowHooks hooks;
  hooks.requestExit = RequestExit;
  hooks.quitRequested = std::move(quitRequested);
  hooks.serviceRestarted = YouTubeUpdaterStart;
  hooks.renderers = &renderers;
  int status = RunConfigurationWindow(controller, hooks);
  YouTubeRequestStop(1);
  uint64_t deadline = platform::TickCountMs() + kFeedStopWaitMs;
  while (!YouTubeIsIdle() && platform::TickCountMs() < deadline) platform::SleepMs(50);
  YouTubeUpdaterJoin();
  renderers.Stop();
  return status;
}

}  // namespace
#else
namespace {

// The window runs in the companion program beside this one; a run that shows no window
// (headless, a scan, the stream commands) stays here, without the window toolkit.
void HandOverToDesktop(const CommandLine& commandLine, char** argv) {
  if (commandLine.headless || commandLine.scanOnly || !commandLine.streams.empty() ||
      commandLine.listStreams || commandLine.printUdn || commandLine.status) {
    return;
  }
  if (!platform::DisplayReachable()) return;
  // Returns only when the companion program is missing or cannot start: go on headless.
  platform::ReplaceProcessWith(platform::ExecutableDirectory() + "/mirelle-desktop", argv);
}

}  // namespace
#endif

int main(int argc, char** argv) {
  // The album art worker's child: it decodes pictures and nothing else, so it needs no
  // program directory, library or network.
  if (argc >= 2 && std::strcmp(argv[1], kAlbumArtMakerFlag) == 0) {
    return AlbumArtWorker_MakeArt(argc - 2, argv + 2);
  }
  // The metadata prober's child: FFmpeg on the paths it is asked about, nothing else.
  if (argc == 2 && std::strcmp(argv[1], media::kMediaProbeFlag) == 0) {
    return media::AvProbe_ServeChild();
  }
  platform::IgnoreBrokenPipes();
  CommandLine commandLine;
  std::string error;
  if (!ParseCommandLine(argc, argv, &commandLine, &error)) {
    std::fprintf(stderr, "mirelle: %s\nTry 'mirelle --help'.\n", error.c_str());
    return 2;
  }
  if (commandLine.help) {
    std::fputs(CommandLineUsage().c_str(), stdout);
    return 0;
  }
  if (commandLine.version) {
    std::printf("Orvex Media Server %s\n", ORVEX_VERSION);
    return 0;
  }
#ifdef ORVEX_WITH_DESKTOP
  InstallDesktopRunner({ConfigurationWindowAvailable, RunDesktop, RequestShowConfigurationWindow});
#else
  HandOverToDesktop(commandLine, argv);
#endif
  int status = ApplicationStart(commandLine);
  // Everything is stopped and the library is closed by now. The exit handlers of the big
  // libraries would only walk memory that the system takes back anyway, and at the end
  // of a scan they set the process's peak memory.
  std::fflush(nullptr);
#if !defined(__SANITIZE_ADDRESS__) && !defined(ORVEX_COVERAGE)
  std::_Exit(status);
#endif
  return status;
}
