#include "gui/internet_page.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/app_controller.h"
#include "gui/qt_text.h"

CInternetPage::CInternetPage(WindowContext& context, QWidget* parent)
    : QWidget(parent), context_(context) {
  urlCaption_ = new QLabel(this);
  titleCaption_ = new QLabel(this);
  typeCaption_ = new QLabel(this);
  url_ = new QLineEdit(this);
  url_->setObjectName("internetUrl");
  title_ = new QLineEdit(this);
  title_->setObjectName("internetTitle");
  type_ = new QComboBox(this);
  type_->setObjectName("internetMediaType");
  // Positions follow InternetMediaType: 0 audio, 1 video.
  type_->addItem(QString());
  type_->addItem(QString());
  type_->setCurrentIndex(static_cast<int>(InternetMediaType::kVideo));
  connect(type_, &QComboBox::currentIndexChanged, this, [this] { List(); });

  list_ = new QTreeWidget(this);
  list_->setObjectName("internetItems");
  list_->setColumnCount(2);
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setColumnWidth(0, 400);
  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] { RowChosen(); });

  auto button = [this](const char* name, void (CInternetPage::*action)()) {
    auto* b = new QPushButton(this);
    b->setObjectName(name);
    connect(b, &QPushButton::clicked, this, [this, action] { (this->*action)(); });
    return b;
  };
  add_ = button("internetAdd", &CInternetPage::Add);
  modify_ = button("internetModify", &CInternetPage::Modify);
  delete_ = button("internetDelete", &CInternetPage::Delete);
  exit_ = new QPushButton(this);
  exit_->setObjectName("internetExit");
  about_ = new QPushButton(this);
  about_->setObjectName("internetAbout");
  connect(exit_, &QPushButton::clicked, this, [this] { context_.exit(); });
  connect(about_, &QPushButton::clicked, this, [this] { context_.about(); });

  auto* fields = new QGridLayout;
  fields->addWidget(urlCaption_, 0, 0);
  fields->addWidget(url_, 0, 1);
  fields->addWidget(titleCaption_, 1, 0);
  fields->addWidget(title_, 1, 1);
  fields->addWidget(typeCaption_, 2, 0);
  fields->addWidget(type_, 2, 1);
  auto* edits = new QHBoxLayout;
  edits->addWidget(add_);
  edits->addWidget(modify_);
  edits->addWidget(delete_);
  edits->addStretch();
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(about_);
  bottom->addWidget(exit_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(edits);
  layout->addWidget(list_, 1);
  layout->addLayout(bottom);

  Retranslate();
}

void CInternetPage::Retranslate() {
  urlCaption_->setText(Tr("URL") + QStringLiteral(":"));
  titleCaption_->setText(Tr("Title") + QStringLiteral(":"));
  typeCaption_->setText(Tr("Mediatype") + QStringLiteral(":"));
  type_->setItemText(static_cast<int>(InternetMediaType::kAudio), Tr("Audio"));
  type_->setItemText(static_cast<int>(InternetMediaType::kVideo), Tr("Video"));
  list_->setHeaderLabels({Tr("Title"), Tr("Mediatype")});
  add_->setText(Tr("Add"));
  modify_->setText(Tr("MODIFY"));
  delete_->setText(Tr("Delete"));
  exit_->setText(Tr("Exit"));
  about_->setText(Tr("About"));
  List();
}

InternetMediaType CInternetPage::SelectedType() const {
  return type_->currentIndex() == static_cast<int>(InternetMediaType::kAudio)
             ? InternetMediaType::kAudio
             : InternetMediaType::kVideo;
}

void CInternetPage::List() {
  list_->clear();
  rows_ = InternetItemList(SelectedType());
  for (const InternetItem& item : rows_) {
    auto* row = new QTreeWidgetItem({QtText(item.title), Tr(InternetMediaTypeText(item.type))});
    row->setToolTip(0, QtText(item.url));
    list_->addTopLevelItem(row);
  }
}

void CInternetPage::Tick() {
  const bool scanning = context_.controller.ScanRunning();
  for (QPushButton* b : {add_, modify_, delete_}) b->setEnabled(!scanning);
}

void CInternetPage::RowChosen() {
  const int row = list_->indexOfTopLevelItem(list_->currentItem());
  if (row < 0 || row >= static_cast<int>(rows_.size())) return;
  url_->setText(QtText(rows_[row].url));
  title_->setText(QtText(rows_[row].title));
}

template <typename Change>
auto CInternetPage::WithServiceStopped(Change change) {
  const bool wasRunning = context_.controller.StopServiceForChange();
  auto result = change();
  if (wasRunning) context_.controller.StartService();
  return result;
}

void CInternetPage::Report(InternetItemStatus status) {
  // A duplicate is ignored without a message; an empty URL adds nothing.
  if (status == InternetItemStatus::kBadText || status == InternetItemStatus::kFailed) {
    context_.prompts.inform(Text("Error"), Text("InternetItemRefused"));
  }
}

void CInternetPage::Add() {
  const std::string url = Utf8Text(url_->text().trimmed());
  if (url.empty() || context_.controller.ScanRunning()) return;
  const std::string title = Utf8Text(title_->text());
  const InternetMediaType type = SelectedType();
  Report(WithServiceStopped([&] { return InternetItemAdd(url, title, type); }));
  List();
}

void CInternetPage::Modify() {
  const int row = list_->indexOfTopLevelItem(list_->currentItem());
  if (row < 0 || row >= static_cast<int>(rows_.size())) return;
  const std::string url = Utf8Text(url_->text().trimmed());
  if (url.empty() || context_.controller.ScanRunning()) return;
  const std::string title = Utf8Text(title_->text());
  const InternetItem old = rows_[row];
  const InternetMediaType type = SelectedType();
  Report(WithServiceStopped([&] { return InternetItemModify(old, url, title, type); }));
  List();
}

void CInternetPage::Delete() {
  std::vector<InternetItem> chosen;
  for (QTreeWidgetItem* item : list_->selectedItems()) {
    const int row = list_->indexOfTopLevelItem(item);
    if (row >= 0 && row < static_cast<int>(rows_.size())) chosen.push_back(rows_[row]);
  }
  if (chosen.empty() || context_.controller.ScanRunning()) return;
  WithServiceStopped([&] { return InternetItemDelete(chosen); });
  List();
}
