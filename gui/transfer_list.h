// The System tab's "ConnectionStatus" list: one row per recent transfer (file, client,
// progress, URL path), newest on top, fed from the transfer ring on every tick.
#pragma once

#include <QTreeWidget>

class CTransferList : public QTreeWidget {
 public:
  enum Column { kFileColumn = 0, kClientColumn, kProgressColumn, kUrlColumn };

  explicit CTransferList(QWidget* parent = nullptr);

  void Retranslate();
  // Takes the new and changed transfers from the ring: a new one becomes a row on top
  // (the oldest row leaves past the limit); a changed one rewrites its row's progress.
  void Refresh();
};
