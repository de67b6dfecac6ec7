#include "gui/server_name_dialog.h"

#include <QInputDialog>

#include "gui/qt_text.h"

std::optional<std::string> AskServerName(const std::string& current, QWidget* parent) {
  QInputDialog dialog(parent);
  dialog.setWindowTitle(Tr("ChangeServerNameCaption"));
  dialog.setLabelText(Tr("ServerName") + QStringLiteral(":"));
  dialog.setTextValue(QtText(current));
  dialog.setOkButtonText(Tr("OK"));
  dialog.setCancelButtonText(Tr("Cancel"));
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return Utf8Text(dialog.textValue());
}
