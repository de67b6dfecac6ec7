#include "gui/run_window.h"

#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QThread>
#include <memory>

#include "gui/language.h"
#include "gui/qt_text.h"
#include "gui/window_prompts.h"
#include "platform/host.h"
#include "platform/log.h"
#include "platform/message_box.h"

namespace {

// Shows a program message box: at once on the window's thread; from another thread
// queued to it, so that a thread the window waits for never waits for the window. The
// fixed English title and text are their own keys in the language table.
void PresentMessage(std::string_view title, std::string_view text) {
  const QString qtTitle = QtText(LocalizedText(title, title));
  const QString qtText = QtText(LocalizedText(text, text));
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  if (QThread::currentThread() == app->thread()) {
    QMessageBox::warning(nullptr, qtTitle, qtText);
    return;
  }
  platform::Logf("%.*s: %.*s\n", static_cast<int>(title.size()), title.data(),
                 static_cast<int>(text.size()), text.data());
  QMetaObject::invokeMethod(
      app, [qtTitle, qtText] { QMessageBox::warning(nullptr, qtTitle, qtText); },
      Qt::QueuedConnection);
}

}  // namespace

bool ConfigurationWindowAvailable() { return platform::DisplayReachable(); }

int RunConfigurationWindow(CAppController& controller, const ConfigurationWindowHooks& hooks) {
  static int argc = 1;
  static char name[] = "mirelle";
  static char* argv[] = {name, nullptr};
  std::unique_ptr<QApplication> ownApp;
  if (QApplication::instance() == nullptr) ownApp = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationDisplayName(QString::fromLatin1(kWindowTitle));

  const bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
  if (!trayAvailable) platform::Log("No notification area: the window stays open.\n");

  platform::SetMessageBoxPresenter(PresentMessage);
  int status = 0;
  {
    CConfigWindow window(controller, WindowPrompts{}, hooks, trayAvailable);
    window.SetPrompts(QtPrompts(&window, hooks.renderers));
    // A session that ends closes the program through the same path as Exit.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &window, [&window] { window.Exit(); });
    window.ShowAtStart();
    status = QApplication::exec();
  }
  platform::SetMessageBoxPresenter(nullptr);
  return status;
}
