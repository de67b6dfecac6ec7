// The System tab: the server name and its change dialog, the transfer status list, the
// renderer list ("DMA Setup"), Exit and About.
#pragma once

#include <QWidget>

#include "gui/window_context.h"

class QLabel;
class QPushButton;
class QGroupBox;
class CTransferList;

class CSystemPage : public QWidget {
 public:
  explicit CSystemPage(WindowContext& context, QWidget* parent = nullptr);

  void Retranslate();
  // Reads the server name from the settings again.
  void ShowServerName();
  // The timer's duty: new and changed transfers reach the list.
  void Tick();

  // Asks for a new name; a valid one is stored and, when the service runs, announced by
  // a restart. A refused one leaves the stored name as it was.
  void ChangeServerName();

  CTransferList* transferList() const { return transfers_; }

 private:
  WindowContext& context_;
  QLabel* serverName_;
  QPushButton* change_;
  QGroupBox* statusBox_;
  CTransferList* transfers_;
  QPushButton* renderers_;
  QPushButton* exit_;
  QPushButton* about_;
};
