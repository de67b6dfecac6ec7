#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/startup.h"

#ifndef ORVEX_VERSION
#define ORVEX_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
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
  return ApplicationStart(commandLine);
}
