// The entry of the desktop mode: runs the configuration window and its tray icon until
// the user exits.
#pragma once

#include "gui/config_window.h"

class CAppController;

// True when a desktop can be shown: an X11 or Wayland display is named, or Qt is told
// which platform to use.
bool ConfigurationWindowAvailable();

// Runs the window on the calling (main) thread until the user exits or `hooks`
// .quitRequested says so; returns the exit status (0). Message boxes of the program show
// as dialogs while it runs. Start-up has loaded the library, the settings, the language
// and the filter tables before; shutdown follows after.
int RunConfigurationWindow(CAppController& controller, const ConfigurationWindowHooks& hooks);
