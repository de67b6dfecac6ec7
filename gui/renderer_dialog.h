// The renderer list ("DMA Setup"): the media players found on the network, refreshed
// every second; a double click opens the player's network folder in the file browser.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "controlpoint/renderer_page.h"

class QListWidget;
class QPushButton;
class QTimer;

class CRendererDialog : public QDialog {
 public:
  using UrlOpener = std::function<void(const std::string& url)>;

  // `source` (the program's control point) must outlive the dialog. `openUrl` opens a
  // network folder; the default hands it to the desktop.
  CRendererDialog(controlpoint::RendererSource* source, QWidget* parent = nullptr,
                  UrlOpener openUrl = {});

  // The timer's duty, public for tests: ages and reloads the list.
  void Tick(controlpoint::RendererPageModel::TimePoint now);
  // A double click on `row`.
  void OpenRow(int row);
  void Refresh();

 private:
  void ShowLines();

  controlpoint::RendererPageModel model_;
  UrlOpener openUrl_;
  QListWidget* list_;
  QPushButton* refresh_;
  QPushButton* close_;
  QTimer* timer_;
};

// Shows the list modally; without a control point there is nothing to show and nothing
// happens.
void ShowRendererDialog(controlpoint::RendererSource* source, QWidget* parent);
