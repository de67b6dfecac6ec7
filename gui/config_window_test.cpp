#include "gui/config_window.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <deque>
#include <filesystem>

#include "app/app_controller.h"
#include "app/library_counters.h"
#include "app/service.h"
#include "app/settings.h"
#include "gui/import_page.h"
#include "gui/run_window.h"
#include "gui/transfer_status.h"
#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"

namespace {

namespace fs = std::filesystem;

using platform::testing::WriteWav;

// Answers the window's questions from a script and records what it was told.
struct ScriptedUser {
  std::string directory;
  std::deque<bool> confirmations;
  std::deque<std::optional<std::string>> serverNames;
  std::vector<std::string> questions;
  std::vector<std::string> messages;

  WindowPrompts Prompts() {
    WindowPrompts prompts;
    prompts.pickDirectory = [this](const std::string&) { return directory; };
    prompts.pickFile = [](const std::string&, const std::string&) { return std::string(); };
    prompts.confirm = [this](const std::string& title, const std::string& text) {
      questions.push_back(title + ": " + text);
      bool answer = !confirmations.empty() && confirmations.front();
      if (!confirmations.empty()) confirmations.pop_front();
      return answer;
    };
    prompts.inform = [this](const std::string& title, const std::string& text) {
      messages.push_back(title + ": " + text);
    };
    prompts.askServerName = [this](const std::string&) {
      std::optional<std::string> name = serverNames.empty() ? std::nullopt : serverNames.front();
      if (!serverNames.empty()) serverNames.pop_front();
      return name;
    };
    prompts.showMediaDetails = [](const std::string&) {};
    prompts.showRenderers = [] {};
    return prompts;
  }
};

class ConfigWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    setenv("XDG_CONFIG_HOME", lib_.Path("config").c_str(), 1);
    FST_BuildTree();
    LoadFilterTables();
    LoadLibraryCounters();
    ClearTransfers();
    media_ = lib_.Path("media");
    fs::create_directories(media_);
    WriteWav(media_ + "/first.wav");
    user_.directory = media_;
  }

  void TearDown() override {
    window_.reset();
    if (MediaServerService_IsRunning()) MediaServerService_Stop();
    controller_.WaitForScan(20000);
  }

  CConfigWindow& MakeWindow(bool trayAvailable) {
    ConfigurationWindowHooks hooks;
    hooks.requestExit = [this] { ++exitRequests_; };
    hooks.quitEventLoop = [this] { ++quits_; };
    hooks.quitRequested = [] { return false; };
    hooks.serviceRestarted = [this] { ++restarts_; };
    window_ = std::make_unique<CConfigWindow>(controller_, user_.Prompts(), hooks, trayAvailable);
    return *window_;
  }

  template <typename T>
  T* Find(const char* name) {
    T* widget = window_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }

  void Click(const char* name) {
    if (QPushButton* button = Find<QPushButton>(name)) button->click();
  }

  // Drives the window's timer until the scan it started has ended.
  bool FinishScan() {
    bool ended = platform::testing::WaitUntil(
        [&] { return window_->Tick(platform::TickCountMs()), !controller_.ScanRunning(); }, 20000);
    window_->Tick(platform::TickCountMs());
    return ended;
  }

  QStringList SharedFolderRows() {
    QStringList rows;
    QListWidget* list = Find<QListWidget>("sharedFolders");
    for (int i = 0; list != nullptr && i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
  }

  TempLibrary lib_;
  CAppController controller_;
  ScriptedUser user_;
  std::unique_ptr<CConfigWindow> window_;
  std::string media_;
  int exitRequests_ = 0;
  int quits_ = 0;
  int restarts_ = 0;
};

TEST_F(ConfigWindowTest, AddedFolderIsScannedWithButtonsLockedTheServiceRestartsAndAsks) {
  MakeWindow(false);
  // Hold the scan before it starts (it waits for the scan mutex) so the locked buttons
  // can be seen; the library stays free for the window meanwhile.
  std::unique_lock holdScan(Scanner().filesMutex);
  Click("addFolder");
  EXPECT_TRUE(user_.questions.empty());  // the service was not running: nothing to ask
  ASSERT_TRUE(controller_.ScanRunning());
  window_->Tick(platform::TickCountMs());
  for (const char* name :
       {"addFolder", "refreshFolder", "deleteFolder", "deleteAll", "startService"})
    EXPECT_FALSE(Find<QPushButton>(name)->isEnabled()) << name;
  holdScan.unlock();
  ASSERT_TRUE(FinishScan());
  for (const char* name : {"addFolder", "refreshFolder", "deleteFolder", "deleteAll"})
    EXPECT_TRUE(Find<QPushButton>(name)->isEnabled()) << name;
  EXPECT_EQ(SharedFolderRows(), QStringList({QString::fromStdString(media_)}));
  EXPECT_EQ(AudioItemCount.load(), 1);
  EXPECT_TRUE(controller_.RestartPending());

  // The service starts again a minute after the scan.
  ASSERT_EQ(MediaServerService_IsRunning(), 0);
  const uint64_t now = platform::TickCountMs();
  window_->Tick(now + 30000);
  EXPECT_EQ(MediaServerService_IsRunning(), 0);
  window_->Tick(now + kRestartAfterScanMs + 1000);
  EXPECT_EQ(MediaServerService_IsRunning(), 1);
  EXPECT_EQ(restarts_, 1);

  // While the service runs adding asks first: no changes nothing, yes stops it and scans.
  user_.directory = lib_.Path("second");
  fs::create_directories(user_.directory);
  user_.confirmations = {false, true};
  Click("addFolder");
  ASSERT_EQ(user_.questions.size(), 1u);
  EXPECT_EQ(MediaServerService_IsRunning(), 1);
  EXPECT_FALSE(controller_.ScanRunning());
  Click("addFolder");
  EXPECT_EQ(MediaServerService_IsRunning(), 0);
  ASSERT_TRUE(FinishScan());
  EXPECT_EQ(db_countSharedFolders(), 2);
}

TEST_F(ConfigWindowTest, FoldersAreRefreshedRemovedOneOrAllAndClearAsksFirst) {
  const std::string second = lib_.Path("second");
  fs::create_directories(second);
  WriteWav(second + "/other.wav");
  MakeWindow(false);
  ASSERT_TRUE(controller_.AddFolders({media_, second}));
  ASSERT_TRUE(FinishScan());
  ASSERT_EQ(SharedFolderRows().size(), 2);

  // Refresh finds files added since the scan.
  WriteWav(media_ + "/second.wav");
  QListWidget* list = Find<QListWidget>("sharedFolders");
  list->setCurrentRow(SharedFolderRows().indexOf(QString::fromStdString(media_)));
  Click("refreshFolder");
  ASSERT_TRUE(FinishScan());
  EXPECT_EQ(db_getCount(sql::CountAudioItems()), 3);

  list->setCurrentRow(SharedFolderRows().indexOf(QString::fromStdString(second)));
  Click("deleteFolder");
  EXPECT_EQ(SharedFolderRows(), QStringList({QString::fromStdString(media_)}));
  EXPECT_EQ(db_getCount(sql::CountAudioItems()), 2);

  user_.confirmations = {false};
  Click("clearDatabase");
  EXPECT_EQ(db_countSharedFolders(), 1);

  Click("deleteAll");
  EXPECT_TRUE(SharedFolderRows().isEmpty());
  EXPECT_EQ(db_getCount(sql::CountAudioItems()), 0);

  ASSERT_TRUE(controller_.AddFolders({media_}));
  ASSERT_TRUE(FinishScan());
  user_.confirmations = {true};
  Click("clearDatabase");
  EXPECT_EQ(db_countSharedFolders(), 0);
  EXPECT_EQ(db_getCount(sql::CountAudioItems()), 0);
  EXPECT_TRUE(SharedFolderRows().isEmpty());
}

TEST_F(ConfigWindowTest, InvalidServerNamesAreRefusedAndAValidOneIsStored) {
  db_setAVP(kKeyServerName, "Media (DEN)");
  MakeWindow(false);
  QLabel* shown = Find<QLabel>("serverName");
  EXPECT_EQ(shown->text(), "Server Name: Media (DEN)");

  // Which names are valid is the settings' test; here is what the window does with them.
  user_.serverNames = {std::string("a:b"), std::nullopt};  // refused, then cancelled
  Click("changeServerName");
  Click("changeServerName");
  ASSERT_EQ(user_.messages.size(), 1u);
  EXPECT_EQ(user_.messages[0],
            "Invalid Server Name: Server name cannot be empty string or contain \\/:*?\"<>|");
  EXPECT_EQ(ReadSetting(kKeyServerName), "Media (DEN)");
  user_.messages.clear();

  user_.serverNames = {std::string("Living Room")};
  Click("changeServerName");
  EXPECT_EQ(ReadSetting(kKeyServerName), "Living Room");
  EXPECT_EQ(shown->text(), "Server Name: Living Room");
  EXPECT_TRUE(user_.messages.empty());  // the service was stopped: no restart to announce
}

// Each check box is stored both ways, and the autostart entry follows its box.
TEST_F(ConfigWindowTest, OptionsApplyStoresTheCheckBoxesAndShowsTheFilters) {
  db_setAVP(kKeyVideoFilter, ".avi .mkv");
  LoadFilterTables();
  MakeWindow(false);
  EXPECT_EQ(Find<QWidget>("VideoFilter")->property("text").toString(), ".avi .mkv");
  const char* boxes[] = {"transcodingEnable", "minimizedAtStartup", "enableAutoRun"};
  for (const char* box : boxes) Find<QCheckBox>(box)->setChecked(true);
  Click("optionsApply");
  EXPECT_EQ(ReadSetting(kKeyTranscodingEnable), "TRUE");
  EXPECT_EQ(ReadSetting(kKeyMinimizedAtStartUp), "TRUE");
  EXPECT_EQ(ReadSetting(kKeyEnableAutoRun), "TRUE");
  EXPECT_EQ(TranscodingEnable.load(), 1);
  const std::string entry = lib_.Path("config/autostart/Orvex.desktop");
  EXPECT_TRUE(fs::exists(entry));

  for (const char* box : boxes) Find<QCheckBox>(box)->setChecked(false);
  Click("optionsExit");
  EXPECT_EQ(ReadSetting(kKeyTranscodingEnable), "FALSE");
  EXPECT_EQ(ReadSetting(kKeyMinimizedAtStartUp), "FALSE");
  EXPECT_EQ(ReadSetting(kKeyEnableAutoRun), "FALSE");
  EXPECT_EQ(TranscodingEnable.load(), 0);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(exitRequests_, 1);
  EXPECT_EQ(quits_, 1);
}

// Asked to start minimised, the window shows when there is no tray and closing it exits;
// with a tray closing hides it, and the tray menu starts and stops the service. Starting in a real
// tray and showing at a second copy's request are proven on a real X server by the tray test.
TEST_F(ConfigWindowTest, StartingMinimisedClosingAndTheTrayMenu) {
  db_setAVP(kKeyMinimizedAtStartUp, "TRUE");
  CConfigWindow* window = &MakeWindow(false);
  window->ShowAtStart();
  EXPECT_TRUE(window->isVisible());
  window->close();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(exitRequests_, 1);
  EXPECT_EQ(quits_, 1);

  window = &MakeWindow(true);
  window->show();
  window->close();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(exitRequests_, 1);
  // The tray menu's service entries follow the service, and its Exit ends the program.
  QAction* start = window->trayMenu()->actions().at(4);
  QAction* stop = window->trayMenu()->actions().at(5);
  window->Tick(platform::TickCountMs());
  EXPECT_TRUE(start->isEnabled() && !stop->isEnabled());
  start->trigger();
  EXPECT_EQ(MediaServerService_IsRunning(), 1);
  EXPECT_TRUE(!start->isEnabled() && stop->isEnabled());
  stop->trigger();
  EXPECT_EQ(MediaServerService_IsRunning(), 0);
  window->trayMenu()->actions().at(2)->trigger();
  EXPECT_EQ(exitRequests_, 2);
  EXPECT_EQ(quits_, 2);
}

TEST_F(ConfigWindowTest, InternetItemsAreAddedListedChangedAndRemoved) {
  MakeWindow(false);
  ASSERT_EQ(MediaServerService_Start(), 1);
  QLineEdit* url = Find<QLineEdit>("internetUrl");
  QLineEdit* title = Find<QLineEdit>("internetTitle");
  QComboBox* type = Find<QComboBox>("internetMediaType");
  QTreeWidget* list = Find<QTreeWidget>("internetItems");
  ASSERT_TRUE(url && title && type && list);

  // Without a title the item is listed under its URL; the same item twice is stored once.
  url->setText("http://tv.example/live.ts");
  Click("internetAdd");
  Click("internetAdd");
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0), "http://tv.example/live.ts");
  EXPECT_EQ(list->topLevelItem(0)->text(1), "Video");
  // The service was stopped around the change and runs again.
  EXPECT_EQ(MediaServerService_IsRunning(), 1);

  type->setCurrentIndex(0);
  EXPECT_EQ(list->topLevelItemCount(), 0);
  url->setText("http://radio.example/jazz");
  title->setText("Jazz FM");
  Click("internetAdd");
  ASSERT_EQ(list->topLevelItemCount(), 1);

  list->setCurrentItem(list->topLevelItem(0));
  title->setText("Jazz FM Two");
  Click("internetModify");
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0), "Jazz FM Two");

  list->setCurrentItem(list->topLevelItem(0));
  Click("internetDelete");
  EXPECT_EQ(list->topLevelItemCount(), 0);
  type->setCurrentIndex(1);
  EXPECT_EQ(list->topLevelItemCount(), 1);
}

}  // namespace
