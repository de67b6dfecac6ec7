#include "gui/renderer_dialog.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "controlpoint/renderer_limits.h"
#include "gui/qt_text.h"

CRendererDialog::CRendererDialog(controlpoint::RendererSource* source, QWidget* parent,
                                 UrlOpener openUrl)
    : QDialog(parent), model_(source), openUrl_(std::move(openUrl)) {
  if (!openUrl_) {
    openUrl_ = [](const std::string& url) { QDesktopServices::openUrl(QUrl(QtText(url))); };
  }
  setWindowTitle(Tr("Renderers"));
  resize(560, 320);
  list_ = new QListWidget(this);
  list_->setObjectName("renderers");
  refresh_ = new QPushButton(Tr("Refresh"), this);
  refresh_->setObjectName("refreshRenderers");
  close_ = new QPushButton(Tr(controlpoint::renderer_limits::kCancelTextKey), this);
  connect(list_, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* item) { OpenRow(list_->row(item)); });
  connect(refresh_, &QPushButton::clicked, this, [this] { Refresh(); });
  connect(close_, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(refresh_);
  buttons->addStretch();
  buttons->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_, 1);
  layout->addLayout(buttons);

  model_.Open();
  ShowLines();
  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, [this] { Tick(std::chrono::system_clock::now()); });
  timer_->start(controlpoint::renderer_limits::kPageTickMs);
}

void CRendererDialog::Tick(controlpoint::RendererPageModel::TimePoint now) {
  if (model_.Tick(now)) ShowLines();
}

void CRendererDialog::OpenRow(int row) {
  if (row < 0) return;
  const std::string url = model_.NetworkFolderUrl(static_cast<size_t>(row));
  if (!url.empty()) openUrl_(url);
}

void CRendererDialog::Refresh() {
  model_.Refresh();
  model_.Open();
  ShowLines();
}

void CRendererDialog::ShowLines() {
  list_->clear();
  for (const std::string& line : model_.Lines()) list_->addItem(QtText(line));
}

void ShowRendererDialog(controlpoint::RendererSource* source, QWidget* parent) {
  if (source == nullptr) return;
  CRendererDialog dialog(source, parent);
  dialog.exec();
}
