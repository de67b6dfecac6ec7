#include "gui/transfer_list.h"

#include <QHeaderView>
#include <vector>

#include "gui/gui_limits.h"
#include "gui/qt_text.h"
#include "gui/transfer_status.h"

namespace {

QString FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return QtText(slash == std::string::npos ? path : path.substr(slash + 1));
}

}  // namespace

CTransferList::CTransferList(QWidget* parent) : QTreeWidget(parent) {
  setObjectName("transferList");
  setColumnCount(4);
  setRootIsDecorated(false);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setAllColumnsShowFocus(true);
  // Grid lines: a frame around every cell.
  setStyleSheet(QStringLiteral("QTreeView::item { border: 1px solid palette(mid); }"));
  for (int column = 0; column < 4; ++column) {
    setColumnWidth(column, kTransferColumnWidths[column]);
  }
  Retranslate();
}

void CTransferList::Retranslate() {
  setHeaderLabels({Tr("Filename"), Tr("IP"), Tr("Progrsss"), Tr("UrlPath")});
}

void CTransferList::Refresh() {
  std::vector<TransferEntry> changes;
  if (CollectChanges(&changes) == 0) return;
  // The ring gives the newest first; new rows go on top oldest first, so that the
  // newest transfer ends up as the first row.
  for (auto entry = changes.rbegin(); entry != changes.rend(); ++entry) {
    const QString url = QtText(entry->UrlPath);
    const QString client = QtText(entry->ClientAddress);
    const QString percent = QtText(TransferPercentText(*entry));
    if (entry->State == kTransferNew) {
      auto* row = new QTreeWidgetItem({FileNameOf(entry->FilePath), client, percent, url});
      row->setToolTip(kFileColumn, QtText(entry->FilePath));
      insertTopLevelItem(0, row);
      while (topLevelItemCount() > kTransferListRows) {
        delete takeTopLevelItem(topLevelItemCount() - 1);
      }
      continue;
    }
    // The same URL may stream to two clients: the row of this client is the one to move.
    for (int i = 0; i < topLevelItemCount(); ++i) {
      QTreeWidgetItem* row = topLevelItem(i);
      if (row->text(kUrlColumn) == url && row->text(kClientColumn) == client) {
        row->setText(kProgressColumn, percent);
        break;
      }
    }
  }
}
