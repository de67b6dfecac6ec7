// The window on a real X server with a notification area (run by run_with_tray.sh): the
// desktop's tray is found, the window starts folded into it when asked to, and a second
// copy's request brings it back.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSystemTrayIcon>

#include "app/app_controller.h"
#include "app/settings.h"
#include "gui/run_window.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/library.h"
#include "library/testing/temp_library.h"
#include "platform/tick.h"

namespace {

CConfigWindow* FindWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* window = dynamic_cast<CConfigWindow*>(widget)) return window;
  }
  return nullptr;
}

TEST(TrayTest, WindowStartsInTheTrayAndShowsWhenAnotherCopyAsks) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  FST_BuildTree();
  db_setAVP(kKeyMinimizedAtStartUp, "TRUE");

  // The tray program may still be claiming its place when the test starts.
  const uint64_t deadline = platform::TickCountMs() + 15000;
  while (!QSystemTrayIcon::isSystemTrayAvailable() && platform::TickCountMs() < deadline) {
    QApplication::processEvents();
    platform::SleepMs(50);
  }
  ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());

  CAppController controller;
  int ticks = 0;
  bool hiddenAtStart = false;
  bool shownOnRequest = false;
  ConfigurationWindowHooks hooks;
  hooks.requestExit = [] {};
  hooks.quitRequested = [&] {
    CConfigWindow* window = FindWindow();
    if (window == nullptr) return true;
    if (++ticks == 1) {
      hiddenAtStart = !window->isVisible();
      RequestShowConfigurationWindow();
      return false;
    }
    shownOnRequest = window->isVisible();
    return true;
  };
  EXPECT_EQ(RunConfigurationWindow(controller, hooks), 0);
  EXPECT_TRUE(hiddenAtStart);
  EXPECT_TRUE(shownOnRequest);
}

}  // namespace
