// ZerazU.eng: the server's encoder. Converts one source with the converter program and
// writes the result into the shared ring the server named on the command line.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "encoder/encoder_options.h"
#include "encoder/encoder_pump.h"
#include "platform/log.h"
#include "platform/process.h"

namespace {

constexpr int kExitUsage = 2;
constexpr const char* kConverter = "ffmpeg";

std::atomic<bool> g_terminate{false};

void OnTerminate(int) { g_terminate.store(true); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // The server is this process's parent; taken first, before it could have gone.
  pid_t server = ::getppid();
  // Its messages go to the server's standard error, which may be a pipe with no reader.
  platform::IgnoreBrokenPipes();
  InstallSignalHandlers();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  EncoderJob job;
  std::string error;
  if (!ParseEncoderArguments(args, &job, &error)) {
    platform::Logf("ZerazU.eng: %s\n", error.c_str());
    return kExitUsage;
  }
  return static_cast<int>(RunEncoderJob(job, server, g_terminate, kConverter));
}
