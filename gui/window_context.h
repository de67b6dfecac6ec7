// What every page of the configuration window works with: the application controller
// (the window keeps no server state of its own), the way it asks the user, and the
// window-wide commands the pages offer as buttons.
#pragma once

#include <functional>

#include "gui/window_prompts.h"

class CAppController;

struct WindowContext {
  CAppController& controller;
  WindowPrompts prompts;
  // The program's exit path.
  std::function<void()> exit;
  // The "About" box.
  std::function<void()> about;
  // Sets every text of the window again after the language changed.
  std::function<void()> retranslate;
};
