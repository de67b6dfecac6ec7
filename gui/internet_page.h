// The Internet media tab: the user's stream URLs with a title and a media type. The
// logic is the internet items module's; the page keeps the listed rows and stops the
// service around every change of what it offers.
#pragma once

#include <QWidget>
#include <vector>

#include "gui/window_context.h"
#include "internet/internet_items.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

class CInternetPage : public QWidget {
 public:
  explicit CInternetPage(WindowContext& context, QWidget* parent = nullptr);

  void Retranslate();
  // Lists the stored items of the selected media type.
  void List();
  // The timer's duty: no changes while a scan writes the library.
  void Tick();

  void Add();
  void Modify();
  void Delete();

 private:
  InternetMediaType SelectedType() const;
  // Runs `change` with the service stopped, starting it again when it ran.
  template <typename Change>
  auto WithServiceStopped(Change change);
  void Report(InternetItemStatus status);
  void RowChosen();

  WindowContext& context_;
  QLabel* urlCaption_;
  QLabel* titleCaption_;
  QLabel* typeCaption_;
  QLineEdit* url_;
  QLineEdit* title_;
  QComboBox* type_;
  QTreeWidget* list_;
  QPushButton* add_;
  QPushButton* modify_;
  QPushButton* delete_;
  QPushButton* exit_;
  QPushButton* about_;
  std::vector<InternetItem> rows_;
};
