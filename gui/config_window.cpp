#include "gui/config_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>

#include "app/app_controller.h"
#include "app/service.h"
#include "app/settings.h"
#include "gui/gui_limits.h"
#include "gui/import_page.h"
#include "gui/internet_page.h"
#include "gui/options_page.h"
#include "gui/qt_text.h"
#include "gui/system_page.h"
#include "platform/tick.h"

namespace {

std::atomic<bool> g_showRequested{false};

// The tab captions' keys, in tab order.
constexpr const char* kTabKeys[] = {"ImportPageCaption", "System", "Options", "InternetMedia"};

}  // namespace

void RequestShowConfigurationWindow() { g_showRequested.store(true, std::memory_order_release); }

bool TakeShowRequest() { return g_showRequested.exchange(false, std::memory_order_acq_rel); }

CConfigWindow::CConfigWindow(CAppController& controller, WindowPrompts prompts,
                             ConfigurationWindowHooks hooks, bool trayAvailable)
    : context_{controller, std::move(prompts), nullptr, nullptr, nullptr},
      hooks_(std::move(hooks)),
      trayAvailable_(trayAvailable) {
  context_.exit = [this] { Exit(); };
  context_.about = [this] { ShowAbout(); };
  context_.retranslate = [this] { Retranslate(); };
  if (!hooks_.quitEventLoop) hooks_.quitEventLoop = [] { QCoreApplication::exit(0); };

  setWindowTitle(QString::fromLatin1(kWindowTitle));
  setWindowIcon(style()->standardIcon(QStyle::SP_DriveNetIcon));
  setMinimumSize(kWindowMinWidth, kWindowMinHeight);
  resize(kWindowMinWidth, kWindowMinHeight);

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("tabs");
  importPage_ = new CImportPage(context_, tabs_);
  systemPage_ = new CSystemPage(context_, tabs_);
  optionsPage_ = new COptionsPage(context_, tabs_);
  tabs_->addTab(importPage_, QString());
  tabs_->addTab(systemPage_, QString());
  internetPage_ = new CInternetPage(context_, tabs_);
  tabs_->addTab(optionsPage_, QString());
  tabs_->addTab(internetPage_, QString());

  serviceState_ = new QLabel(this);
  serviceState_->setObjectName("serviceState");
  startService_ = new QPushButton(this);
  startService_->setObjectName("startService");
  stopService_ = new QPushButton(this);
  stopService_->setObjectName("stopService");
  connect(startService_, &QPushButton::clicked, this, [this] { StartService(); });
  connect(stopService_, &QPushButton::clicked, this, [this] { StopService(); });
  auto* serviceBar = new QHBoxLayout;
  serviceBar->addWidget(serviceState_, 1);
  serviceBar->addWidget(startService_);
  serviceBar->addWidget(stopService_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_, 1);
  layout->addLayout(serviceBar);

  BuildTray();
  Retranslate();
  UpdateServiceControls();

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, [this] { Tick(platform::TickCountMs()); });
  timer_->start(kWindowTickMs);
}

CConfigWindow::~CConfigWindow() {
  // The menu goes before the icon that shows it.
  if (tray_ != nullptr) {
    tray_->hide();
    tray_->setContextMenu(nullptr);
  }
}

void CConfigWindow::BuildTray() {
  // The menu exists with or without a notification area, so its commands and their
  // states are the same everywhere.
  trayMenu_owner_ = std::make_unique<QMenu>();
  trayMenu_ = trayMenu_owner_.get();
  trayMenu_->setObjectName("trayMenu");
  aboutAction_ = trayMenu_->addAction(QString(), this, [this] { ShowAbout(); });
  showAction_ = trayMenu_->addAction(QString(), this, [this] { ShowFromTray(); });
  exitAction_ = trayMenu_->addAction(QString(), this, [this] { Exit(); });
  trayMenu_->addSeparator();
  startAction_ = trayMenu_->addAction(QString(), this, [this] { StartService(); });
  stopAction_ = trayMenu_->addAction(QString(), this, [this] { StopService(); });
  trayMenu_->setDefaultAction(showAction_);
  connect(trayMenu_, &QMenu::aboutToShow, this, [this] { UpdateServiceControls(); });
  if (!trayAvailable_) return;

  tray_ = new QSystemTrayIcon(windowIcon(), this);
  tray_->setToolTip(QString::fromLatin1(kTrayToolTip));
  tray_->setContextMenu(trayMenu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::DoubleClick || r == QSystemTrayIcon::Trigger) {
      trayMenu_->defaultAction()->trigger();
    }
  });
  tray_->show();
}

void CConfigWindow::ShowAtStart() {
  if (trayAvailable_ && ReadBoolSetting(kKeyMinimizedAtStartUp)) return;
  show();
}

void CConfigWindow::Retranslate() {
  for (int i = 0; i < tabs_->count(); ++i) tabs_->setTabText(i, Tr(kTabKeys[i]));
  importPage_->Retranslate();
  systemPage_->Retranslate();
  optionsPage_->Retranslate();
  internetPage_->Retranslate();
  startService_->setText(Tr("StartService"));
  stopService_->setText(Tr("StopService"));
  aboutAction_->setText(Tr("About"));
  showAction_->setText(Tr("Maxmize"));
  exitAction_->setText(Tr("Exit"));
  startAction_->setText(Tr("StartService"));
  stopAction_->setText(Tr("StopService"));
  UpdateServiceControls();
}

void CConfigWindow::UpdateServiceControls() {
  const bool running = MediaServerService_IsRunning() != 0;
  const bool scanning = context_.controller.ScanRunning();
  // While a scan writes the library the service stays stopped; it starts again after it.
  startService_->setEnabled(!running && !scanning);
  stopService_->setEnabled(running);
  startAction_->setEnabled(!running && !scanning);
  stopAction_->setEnabled(running);
  serviceState_->setText(Tr(running ? "ServiceRunning" : "ServiceStopped"));
}

void CConfigWindow::StartService() {
  if (MediaServerService_IsRunning() || context_.controller.ScanRunning()) return;
  if (!context_.controller.StartService()) {
    context_.prompts.inform(Text("Error"), "Cannot Start Media Server Service");
  }
  UpdateServiceControls();
}

void CConfigWindow::StopService() {
  context_.controller.StopServiceForChange();
  UpdateServiceControls();
}

void CConfigWindow::Tick(uint64_t nowMs) {
  if (exiting_) return;
  if (hooks_.quitRequested && hooks_.quitRequested()) {
    Exit();
    return;
  }
  if (TakeShowRequest()) ShowFromTray();

  const bool restartWasPending = context_.controller.RestartPending();
  context_.controller.Tick(nowMs);
  if (restartWasPending && !context_.controller.RestartPending() &&
      MediaServerService_IsRunning() && hooks_.serviceRestarted) {
    hooks_.serviceRestarted();
  }
  UpdateServiceControls();
  importPage_->Tick(nowMs);
  systemPage_->Tick();
  internetPage_->Tick();
}

void CConfigWindow::ShowFromTray() {
  showNormal();
  raise();
  activateWindow();
}

void CConfigWindow::ShowAbout() {
  QMessageBox::about(isVisible() ? this : nullptr, QString::fromLatin1(kWindowTitle),
                     Tr("AboutText"));
}

void CConfigWindow::Exit() {
  if (exiting_) return;
  exiting_ = true;
  timer_->stop();
  if (hooks_.requestExit) hooks_.requestExit();
  if (tray_ != nullptr) tray_->hide();
  hide();
  hooks_.quitEventLoop();
}

void CConfigWindow::closeEvent(QCloseEvent* event) {
  // With a notification area the window folds into it; without one closing is the only
  // way out, so it ends the program.
  if (trayAvailable_ && !exiting_) {
    event->ignore();
    hide();
    return;
  }
  event->accept();
  Exit();
}
