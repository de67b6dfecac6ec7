#include "gui/import_page.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>

#include "app/app_controller.h"
#include "app/service.h"
#include "gui/qt_text.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "platform/tick.h"

namespace {

constexpr const char* kCounterKeys[] = {"TotalFiles",       "VideoFiles",    "AudioFiles",
                                        "ImageFiles",       "PlaylistFiles", "DuplicateFiles",
                                        "UnsupportedFiles", "ElapsedTime"};

QString CounterText(int value) {
  char text[32];
  std::snprintf(text, sizeof text, "%-10d", value);
  return QString::fromLatin1(text);
}

QString ElapsedText(uint64_t elapsedMs) {
  const uint64_t seconds = elapsedMs / 1000;
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return QString::fromLatin1(text);
}

QPushButton* MakeButton(const char* name, QWidget* parent) {
  auto* button = new QPushButton(parent);
  button->setObjectName(name);
  return button;
}

}  // namespace

CImportPage::CImportPage(WindowContext& context, QWidget* parent)
    : QWidget(parent), context_(context) {
  folders_ = new QListWidget(this);
  folders_->setObjectName("sharedFolders");
  folders_->setSelectionMode(QAbstractItemView::ExtendedSelection);

  add_ = MakeButton("addFolder", this);
  refresh_ = MakeButton("refreshFolder", this);
  delete_ = MakeButton("deleteFolder", this);
  deleteAll_ = MakeButton("deleteAll", this);
  rescan_ = MakeButton("rescanAll", this);
  clear_ = MakeButton("clearDatabase", this);
  details_ = MakeButton("editMediaDetail", this);
  connect(add_, &QPushButton::clicked, this, [this] { AddFolder(); });
  connect(refresh_, &QPushButton::clicked, this, [this] { RefreshFolder(); });
  connect(delete_, &QPushButton::clicked, this, [this] { DeleteFolder(); });
  connect(deleteAll_, &QPushButton::clicked, this, [this] { DeleteAll(); });
  connect(rescan_, &QPushButton::clicked, this, [this] { RescanAll(); });
  connect(clear_, &QPushButton::clicked, this, [this] { ClearDatabase(); });
  connect(details_, &QPushButton::clicked, this, [this] { EditMediaDetails(); });

  auto* buttons = new QVBoxLayout;
  for (QPushButton* button : {add_, refresh_, delete_, deleteAll_, rescan_, clear_, details_}) {
    buttons->addWidget(button);
  }
  buttons->addStretch();
  foldersBox_ = new QGroupBox(this);
  auto* foldersLayout = new QHBoxLayout(foldersBox_);
  foldersLayout->addWidget(folders_, 1);
  foldersLayout->addLayout(buttons);

  progressBox_ = new QGroupBox(this);
  auto* grid = new QGridLayout(progressBox_);
  for (int row = 0; row < kCounterRows; ++row) {
    counterCaptions_[row] = new QLabel(progressBox_);
    counterValues_[row] = new QLabel(progressBox_);
    counterValues_[row]->setObjectName(QString::fromLatin1(kCounterKeys[row]));
    grid->addWidget(counterCaptions_[row], row % 4, (row / 4) * 2);
    grid->addWidget(counterValues_[row], row % 4, (row / 4) * 2 + 1);
  }
  currentFile_ = new QLabel(progressBox_);
  currentFile_->setObjectName("currentFile");
  currentFile_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(currentFile_, 4, 0, 1, 4);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(foldersBox_, 1);
  layout->addWidget(progressBox_);

  Retranslate();
  Reload();
  ShowCounts(platform::TickCountMs());
}

void CImportPage::Retranslate() {
  foldersBox_->setTitle(Tr("SharedFolders"));
  progressBox_->setTitle(Tr("ScanProgress"));
  add_->setText(Tr("AddFolder"));
  refresh_->setText(Tr("RefreshFolder"));
  delete_->setText(Tr("DeleteFolder"));
  deleteAll_->setText(Tr("DeleteAll"));
  rescan_->setText(Tr("RescanAll"));
  clear_->setText(Tr("ClearDatabase"));
  details_->setText(Tr("EditMediaDetail"));
  for (int row = 0; row < kCounterRows; ++row) {
    counterCaptions_[row]->setText(Tr(kCounterKeys[row]) + QStringLiteral(":"));
  }
}

void CImportPage::Reload() {
  folders_->clear();
  for (const SharedFolderRecord& folder : db_listSharedFolders()) {
    folders_->addItem(QtText(folder.DirPath));
  }
}

std::string CImportPage::SelectedFolder() const {
  QListWidgetItem* item = folders_->currentItem();
  if (item == nullptr || !item->isSelected()) return {};
  return Utf8Text(item->text());
}

void CImportPage::ScanStarted(bool started) {
  Reload();
  if (!started) {
    context_.prompts.inform(Text("Error"), Text("CannotCreateScanThread"));
    return;
  }
  scanStartMs_ = platform::TickCountMs();
  scanWasRunning_ = true;
  Tick(scanStartMs_);
}

void CImportPage::AddFolder() {
  if (context_.controller.ScanRunning()) return;
  const std::string folder = context_.prompts.pickDirectory(Text("PickDirectory"));
  if (folder.empty()) return;
  if (MediaServerService_IsRunning() &&
      !context_.prompts.confirm(Text("StopService"), Text("WantStopSeriveMsg"))) {
    return;
  }
  std::vector<std::string> alreadyShared;
  bool started = context_.controller.AddFolders({folder}, &alreadyShared);
  if (!alreadyShared.empty()) {
    Reload();
    return;
  }
  ScanStarted(started);
}

void CImportPage::RefreshFolder() {
  const std::string folder = SelectedFolder();
  if (folder.empty() || context_.controller.ScanRunning()) return;
  ScanStarted(context_.controller.RefreshFolder(folder));
}

void CImportPage::RemoveFolders(const std::vector<std::string>& folders) {
  if (folders.empty() || context_.controller.ScanRunning()) return;
  // One stop and one start for the whole list, not one restart per folder.
  const bool wasRunning = context_.controller.StopServiceForChange();
  for (const std::string& folder : folders) context_.controller.RemoveFolder(folder);
  if (wasRunning) context_.controller.StartServiceIfShared();
  Reload();
}

void CImportPage::DeleteFolder() {
  std::vector<std::string> chosen;
  for (QListWidgetItem* item : folders_->selectedItems()) chosen.push_back(Utf8Text(item->text()));
  RemoveFolders(chosen);
}

void CImportPage::DeleteAll() {
  std::vector<std::string> all;
  for (const SharedFolderRecord& folder : db_listSharedFolders()) all.push_back(folder.DirPath);
  RemoveFolders(all);
}

void CImportPage::RescanAll() {
  if (context_.controller.ScanRunning()) return;
  ScanStarted(context_.controller.RescanAll());
}

void CImportPage::ClearDatabase() {
  if (!context_.prompts.confirm(Text("ClearDatabase"), Text("ClearDatabaseMsg"))) return;
  context_.controller.ClearLibrary();
  Reload();
}

void CImportPage::EditMediaDetails() {
  std::string start;
  if (QListWidgetItem* item = folders_->currentItem()) start = Utf8Text(item->text());
  const std::string path = context_.prompts.pickFile(Text("EditMediaDetail"), start);
  if (!path.empty()) context_.prompts.showMediaDetails(path);
}

void CImportPage::Tick(uint64_t nowMs) {
  const bool scanning = context_.controller.ScanRunning();
  if (scanning && !scanWasRunning_) scanStartMs_ = nowMs;
  if (!scanning && scanWasRunning_) {
    scanEndMs_ = nowMs;
    Reload();
  }
  scanWasRunning_ = scanning;
  for (QPushButton* button : {add_, refresh_, delete_, deleteAll_, rescan_, clear_}) {
    button->setEnabled(!scanning);
  }
  ShowCounts(nowMs);
}

void CImportPage::ShowCounts(uint64_t nowMs) {
  const CScanCounts c = Scan_CurrentCounts();
  const int values[] = {c.files,     c.video,      c.audio,      c.image,
                        c.playlists, c.duplicates, c.unsupported};
  for (int row = 0; row < kCounterRows - 1; ++row) {
    counterValues_[row]->setText(CounterText(values[row]));
  }
  uint64_t elapsed = 0;
  if (scanStartMs_ != 0) {
    const uint64_t end = scanWasRunning_ ? nowMs : scanEndMs_;
    elapsed = end > scanStartMs_ ? end - scanStartMs_ : 0;
  }
  counterValues_[kCounterRows - 1]->setText(ElapsedText(elapsed));
  const std::string image = Scanner().currentPath.Get();
  currentFile_->setText(image.empty() ? QString() : Tr("CurrentFile") + ": " + QtText(image));
}
