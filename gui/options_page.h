// The Options tab: start at log-in, start minimised, transcoding, the four shared file
// type lists, the language, and Apply, Exit and About.
#pragma once

#include <QWidget>
#include <array>

#include "gui/window_context.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class COptionsPage : public QWidget {
 public:
  explicit COptionsPage(WindowContext& context, QWidget* parent = nullptr);

  void Retranslate();
  // Shows the stored options and the filter tables in use.
  void Load();

  // Stops a running service, stores the options and starts the service again.
  void Apply();
  // Stores the options and takes the exit path.
  void ExitAfterStoring();
  // Stores the language at `index` of the list and shows the window in it.
  void ChooseLanguage(int index);

 private:
  void Store();

  WindowContext& context_;
  QCheckBox* autoRun_;
  QCheckBox* minimized_;
  QCheckBox* transcoding_;
  QGroupBox* filtersBox_;
  std::array<QLabel*, 4> filterCaptions_{};
  std::array<QLineEdit*, 4> filters_{};
  QLabel* languageCaption_;
  QComboBox* language_;
  QPushButton* apply_;
  QPushButton* exit_;
  QPushButton* about_;
  bool loading_ = false;
};

// The languages the list offers, in order: the key of the name and the stored code.
struct LanguageOption {
  const char* key;
  const char* code;
};
inline constexpr LanguageOption kLanguageOptions[] = {
    {"Chinese", "0x04"}, {"English", "0x00"}, {"France", "0x0C"},
    {"German", "0x07"},  {"Italian", "0x10"}, {"Japanese", "0x11"},
    {"Spanish", "0x0A"}, {"Russian", "0x19"}, {"Hebrew", "0x0D"},
};
