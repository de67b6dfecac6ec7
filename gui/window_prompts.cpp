#include "gui/window_prompts.h"

#include <QFileDialog>
#include <QMessageBox>

#include "gui/media_info_dialog.h"
#include "gui/qt_text.h"
#include "gui/renderer_dialog.h"
#include "gui/server_name_dialog.h"

WindowPrompts QtPrompts(QWidget* parent, controlpoint::RendererSource* renderers) {
  WindowPrompts prompts;
  prompts.pickDirectory = [parent](const std::string& title) {
    return Utf8Text(QFileDialog::getExistingDirectory(parent, QtText(title)));
  };
  prompts.pickFile = [parent](const std::string& title, const std::string& directory) {
    return Utf8Text(QFileDialog::getOpenFileName(parent, QtText(title), QtText(directory)));
  };
  prompts.confirm = [parent](const std::string& title, const std::string& text) {
    return QMessageBox::question(parent, QtText(title), QtText(text),
                                 QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
  };
  prompts.inform = [parent](const std::string& title, const std::string& text) {
    QMessageBox::information(parent, QtText(title), QtText(text));
  };
  prompts.askServerName = [parent](const std::string& current) {
    return AskServerName(current, parent);
  };
  prompts.showMediaDetails = [parent](const std::string& path) {
    CMediaInfoDialog dialog(path, parent);
    dialog.exec();
  };
  prompts.showRenderers = [parent, renderers] { ShowRendererDialog(renderers, parent); };
  return prompts;
}
