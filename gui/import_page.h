// The shared-folders tab: the list of shared folders, adding, refreshing and removing
// them, rebuilding or clearing the library, and the progress of a running scan.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "gui/window_context.h"

class QLabel;
class QListWidget;
class QPushButton;
class QGroupBox;

class CImportPage : public QWidget {
 public:
  explicit CImportPage(WindowContext& context, QWidget* parent = nullptr);

  // Reads the shared folders from the library again.
  void Reload();
  void Retranslate();
  // The timer's duties: buttons follow the scan, the counters and elapsed time are shown.
  void Tick(uint64_t nowMs);

  void AddFolder();
  void RefreshFolder();
  void DeleteFolder();
  void DeleteAll();
  void RescanAll();
  void ClearDatabase();
  void EditMediaDetails();

 private:
  void ScanStarted(bool started);
  void RemoveFolders(const std::vector<std::string>& folders);
  void ShowCounts(uint64_t nowMs);
  std::string SelectedFolder() const;

  WindowContext& context_;
  QListWidget* folders_;
  QGroupBox* foldersBox_;
  QGroupBox* progressBox_;
  QPushButton* add_;
  QPushButton* refresh_;
  QPushButton* delete_;
  QPushButton* deleteAll_;
  QPushButton* rescan_;
  QPushButton* clear_;
  QPushButton* details_;
  // Caption and value of each counter: total, video, audio, image, playlists,
  // duplicates, unsupported, elapsed time.
  static constexpr int kCounterRows = 8;
  std::array<QLabel*, kCounterRows> counterCaptions_{};
  std::array<QLabel*, kCounterRows> counterValues_{};
  QLabel* currentFile_;
  bool scanWasRunning_ = false;
  uint64_t scanStartMs_ = 0;
  uint64_t scanEndMs_ = 0;
};
