#include "gui/options_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <iterator>

#include "app/app_controller.h"
#include "app/settings.h"
#include "gui/language.h"
#include "gui/qt_text.h"
#include "library/library.h"
#include "platform/text.h"

namespace {

constexpr const char* kFilterCaptionKeys[] = {"VideoFilter", "AudioFilter", "ImageFilter",
                                              "PlaylistFilter"};
constexpr FilterKind kFilterKinds[] = {kVideoTable, kAudioTable, kImageTable, kPlaylistTable};

QString JoinedFilter(FilterKind kind) {
  QStringList extensions;
  for (const std::string& extension : Filter(kind).Active()) extensions << QtText(extension);
  return extensions.join(QLatin1Char(' '));
}

// The list entry to preselect: the stored code, else the language shown now.
int PreselectedLanguage(const std::string& stored) {
  for (size_t i = 0; i < std::size(kLanguageOptions); ++i) {
    if (platform::AsciiEqualsNoCase(stored, kLanguageOptions[i].code)) return static_cast<int>(i);
  }
  const int current = CurrentLanguage();
  for (size_t i = 0; i < std::size(kLanguageOptions); ++i) {
    if (::ChooseLanguage(kLanguageOptions[i].code, SystemLocaleName()).slot == current) {
      return static_cast<int>(i);
    }
  }
  return 1;  // English
}

}  // namespace

COptionsPage::COptionsPage(WindowContext& context, QWidget* parent)
    : QWidget(parent), context_(context) {
  autoRun_ = new QCheckBox(this);
  autoRun_->setObjectName("enableAutoRun");
  minimized_ = new QCheckBox(this);
  minimized_->setObjectName("minimizedAtStartup");
  transcoding_ = new QCheckBox(this);
  transcoding_->setObjectName("transcodingEnable");

  filtersBox_ = new QGroupBox(this);
  auto* filters = new QFormLayout(filtersBox_);
  for (int i = 0; i < 4; ++i) {
    filterCaptions_[i] = new QLabel(filtersBox_);
    filters_[i] = new QLineEdit(filtersBox_);
    filters_[i]->setReadOnly(true);
    filters_[i]->setObjectName(QString::fromLatin1(kFilterCaptionKeys[i]));
    filters->addRow(filterCaptions_[i], filters_[i]);
  }

  languageCaption_ = new QLabel(this);
  language_ = new QComboBox(this);
  language_->setObjectName("language");
  for (size_t i = 0; i < std::size(kLanguageOptions); ++i) language_->addItem(QString());
  connect(language_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (!loading_) ChooseLanguage(index);
  });

  apply_ = new QPushButton(this);
  apply_->setObjectName("optionsApply");
  exit_ = new QPushButton(this);
  exit_->setObjectName("optionsExit");
  about_ = new QPushButton(this);
  about_->setObjectName("optionsAbout");
  connect(apply_, &QPushButton::clicked, this, [this] { Apply(); });
  connect(exit_, &QPushButton::clicked, this, [this] { ExitAfterStoring(); });
  connect(about_, &QPushButton::clicked, this, [this] { context_.about(); });

  auto* languageRow = new QHBoxLayout;
  languageRow->addWidget(languageCaption_);
  languageRow->addWidget(language_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(apply_);
  buttons->addWidget(about_);
  buttons->addWidget(exit_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(autoRun_);
  layout->addWidget(minimized_);
  layout->addWidget(transcoding_);
  layout->addWidget(filtersBox_);
  layout->addLayout(languageRow);
  layout->addStretch();
  layout->addLayout(buttons);

  Retranslate();
  Load();
}

void COptionsPage::Retranslate() {
  autoRun_->setText(Tr("EnableAutoRun"));
  minimized_->setText(Tr("MinimizedAtStartup"));
  transcoding_->setText(Tr("TranscodingEnable"));
  filtersBox_->setTitle(Tr("FileTypes"));
  for (int i = 0; i < 4; ++i) filterCaptions_[i]->setText(Tr(kFilterCaptionKeys[i]));
  languageCaption_->setText(Tr("Language"));
  loading_ = true;
  for (size_t i = 0; i < std::size(kLanguageOptions); ++i) {
    language_->setItemText(static_cast<int>(i), Tr(kLanguageOptions[i].key));
  }
  loading_ = false;
  apply_->setText(Tr("Apply"));
  exit_->setText(Tr("Exit"));
  about_->setText(Tr("About"));
}

void COptionsPage::Load() {
  loading_ = true;
  autoRun_->setChecked(ReadBoolSetting(kKeyEnableAutoRun));
  minimized_->setChecked(ReadBoolSetting(kKeyMinimizedAtStartUp));
  transcoding_->setChecked(ReadBoolSetting(kKeyTranscodingEnable));
  for (int i = 0; i < 4; ++i) filters_[i]->setText(JoinedFilter(kFilterKinds[i]));
  language_->setCurrentIndex(PreselectedLanguage(ReadSetting(kKeyLanguage)));
  loading_ = false;
}

void COptionsPage::Store() {
  ApplyOptions(autoRun_->isChecked(), minimized_->isChecked(), transcoding_->isChecked());
}

void COptionsPage::Apply() {
  const bool wasRunning = context_.controller.StopServiceForChange();
  Store();
  if (wasRunning) context_.controller.StartService();
}

void COptionsPage::ExitAfterStoring() {
  Store();
  context_.exit();
}

void COptionsPage::ChooseLanguage(int index) {
  if (index < 0 || index >= static_cast<int>(std::size(kLanguageOptions))) return;
  const char* code = kLanguageOptions[index].code;
  db_setAVP(kKeyLanguage, code);
  SwitchLanguage(code);
  context_.retranslate();
}
