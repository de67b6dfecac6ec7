// Draws every tab of the configuration window, in English and in German, on Qt's
// offscreen platform and saves each as a PNG (`make screenshots`):
//
//     orvex_screenshots OUT_DIR MEDIA_DIR LANG_CONF
//
// The window runs on a library of its own in a temporary program directory with
// MEDIA_DIR shared and scanned, so the pictures show what a user sees after the first
// scan.
#include <stdlib.h>

#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QTabWidget>
#include <cstdio>
#include <string>

#include "app/app_controller.h"
#include "app/library_counters.h"
#include "app/settings.h"
#include "gui/config_window.h"
#include "gui/language.h"
#include "library/build/file_system_tree.h"
#include "library/library.h"
#include "library/testing/temp_library.h"

namespace {

struct Language {
  const char* slug;
  const char* code;  // the "Language" setting
};
constexpr Language kLanguages[] = {{"en", "0x00"}, {"de", "0x07"}};
// The file names of the tabs, in their order in the window.
constexpr const char* kTabNames[] = {"folders", "system", "options", "internet"};
constexpr uint64_t kScanTimeoutMs = 120000;

WindowPrompts SilentPrompts() {
  WindowPrompts prompts;
  prompts.pickDirectory = [](const std::string&) { return std::string(); };
  prompts.pickFile = [](const std::string&, const std::string&) { return std::string(); };
  prompts.confirm = [](const std::string&, const std::string&) { return false; };
  prompts.inform = [](const std::string&, const std::string&) {};
  prompts.askServerName = [](const std::string&) { return std::optional<std::string>(); };
  prompts.showMediaDetails = [](const std::string&) {};
  prompts.showRenderers = [] {};
  return prompts;
}

bool SaveTabs(QApplication& app, CAppController& controller, const std::string& out,
              const char* slug) {
  ConfigurationWindowHooks hooks;
  hooks.requestExit = [] {};
  hooks.quitEventLoop = [] {};
  hooks.quitRequested = [] { return false; };
  CConfigWindow window(controller, SilentPrompts(), hooks, false);
  window.show();
  // Long filter lists show their start, as after opening the window, not their end.
  for (QLineEdit* edit : window.findChildren<QLineEdit*>()) edit->setCursorPosition(0);
  QTabWidget* tabs = window.findChild<QTabWidget*>();
  if (tabs == nullptr) return false;
  for (int i = 0; i < tabs->count() && i < static_cast<int>(std::size(kTabNames)); ++i) {
    tabs->setCurrentIndex(i);
    app.processEvents();
    std::string path = out + "/" + slug + "-" + std::to_string(i + 1) + "-" + kTabNames[i] + ".png";
    if (!window.grab().save(QString::fromStdString(path))) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return false;
    }
    std::printf("%s\n", path.c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s OUT_DIR MEDIA_DIR LANG_CONF\n", argv[0]);
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  TempLibrary library;
  if (!library.ok()) return 1;
  setenv("XDG_CONFIG_HOME", library.Path("config").c_str(), 1);
  db_setAVP(kKeyServerName, "Orvex DMS");
  FST_BuildTree();
  LoadFilterTables();
  LoadLibraryCounters();
  CAppController controller;
  if (!controller.AddFolders({argv[2]}) || !controller.WaitForScan(kScanTimeoutMs)) return 1;
  controller.CompleteScan();
  for (const Language& language : kLanguages) {
    db_setAVP(kKeyLanguage, language.code);
    LoadLanguageFileFrom(argv[3], language.code, "");
    if (!SaveTabs(app, controller, argv[1], language.slug)) return 1;
  }
  FreeLanguageTable();
  return 0;
}
