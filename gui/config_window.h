// The configuration window: four tabs (shared folders, system, options, internet media),
// a service bar with the start and stop buttons, the tray icon and its menu, and the
// 250 ms timer that keeps them in step with the service and the scanner.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "gui/window_context.h"

class QAction;
class QCloseEvent;
class QLabel;
class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class CImportPage;
class CSystemPage;
class COptionsPage;
class CInternetPage;
namespace controlpoint {
class RendererSource;
}

// What the window needs from the program around it.
struct ConfigurationWindowHooks {
  // The program's exit path (stops the scanner, the workers and the service).
  std::function<void()> requestExit;
  // Polled on every tick: true when the program was asked to end from elsewhere (a
  // signal); the window then closes.
  std::function<bool()> quitRequested;
  // Called after the service was started again a minute after a scan (the internet feeds
  // are fetched again then).
  std::function<void()> serviceRestarted;
  // The program's renderer control point for the "DMA Setup" list (none: an empty list).
  controlpoint::RendererSource* renderers = nullptr;
  // Ends the window's event loop; the default ends QApplication's.
  std::function<void()> quitEventLoop;
};

class CConfigWindow : public QWidget {
 public:
  // `trayAvailable`: whether the desktop has a notification area. Without one the window
  // stays reachable: it is never hidden and closing it exits.
  CConfigWindow(CAppController& controller, WindowPrompts prompts, ConfigurationWindowHooks hooks,
                bool trayAvailable);
  ~CConfigWindow() override;

  // Replaces the way the window asks the user (the Qt dialogs need the window as parent).
  void SetPrompts(WindowPrompts prompts) { context_.prompts = std::move(prompts); }
  // Shows the window, or leaves it hidden in the tray when "MinimizedAtStartUp" is set
  // and a tray exists.
  void ShowAtStart();
  // The timer's duties; public so that tests can drive them with their own clock.
  void Tick(uint64_t nowMs);
  // Sets every text again from the language table.
  void Retranslate();
  // The tray's "show" command and a second copy's request.
  void ShowFromTray();
  // The Exit commands of the tray and the pages.
  void Exit();
  void ShowAbout();

  // The tray icon's menu; it belongs to no window, so a test reaches it here.
  QMenu* trayMenu() const { return trayMenu_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildTray();
  void UpdateServiceControls();
  void StartService();
  void StopService();

  WindowContext context_;
  ConfigurationWindowHooks hooks_;
  bool trayAvailable_;
  bool exiting_ = false;
  QTabWidget* tabs_;
  CImportPage* importPage_;
  CSystemPage* systemPage_;
  COptionsPage* optionsPage_;
  CInternetPage* internetPage_ = nullptr;
  QLabel* serviceState_;
  QPushButton* startService_;
  QPushButton* stopService_;
  QTimer* timer_;
  std::unique_ptr<QMenu> trayMenu_owner_;
  QMenu* trayMenu_ = nullptr;
  QAction* aboutAction_ = nullptr;
  QAction* showAction_ = nullptr;
  QAction* exitAction_ = nullptr;
  QAction* startAction_ = nullptr;
  QAction* stopAction_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
};

// The tray icon's tooltip (also the name of its hidden window).
inline constexpr const char* kTrayToolTip = "Orvex Media Server Tray";
inline constexpr const char* kWindowTitle = "Orvex Media Server";

// Asks the running window to show itself; from any thread (the single-instance guard's).
// A request made before the window exists shows it at its start.
void RequestShowConfigurationWindow();
// Takes a pending show request (the window's timer).
bool TakeShowRequest();
