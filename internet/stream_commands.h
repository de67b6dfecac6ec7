// The headless counterpart of the internet media page: streams added, removed and
// listed from the command line, on the open library.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "internet/internet_items.h"

struct StreamCommand {
  enum class Action { kAdd, kRemove };
  Action action = Action::kAdd;
  std::string url;
  std::string title;  // empty: the URL, as the page stores it
  InternetMediaType type = InternetMediaType::kVideo;
};

// Carries out `commands` in order, then lists the user's streams when `list` is set.
// Results go to `out`, errors to `err` (one line each). Returns 0 when everything was
// done (an add of a stream that is listed already counts as done), 2 for a stream to
// remove that is not stored or a URL or title the library cannot hold, 1 when the
// library failed or a scan was running. Stops at the first command that fails.
int Internet_RunStreamCommands(const std::vector<StreamCommand>& commands, bool list,
                               std::FILE* out, std::FILE* err);
