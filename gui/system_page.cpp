#include "gui/system_page.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_controller.h"
#include "app/service.h"
#include "app/settings.h"
#include "gui/gui_limits.h"
#include "gui/qt_text.h"
#include "gui/transfer_list.h"
#include "platform/text.h"

CSystemPage::CSystemPage(WindowContext& context, QWidget* parent)
    : QWidget(parent), context_(context) {
  serverName_ = new QLabel(this);
  serverName_->setObjectName("serverName");
  serverName_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  change_ = new QPushButton(this);
  change_->setObjectName("changeServerName");
  connect(change_, &QPushButton::clicked, this, [this] { ChangeServerName(); });

  statusBox_ = new QGroupBox(this);
  transfers_ = new CTransferList(statusBox_);
  auto* statusLayout = new QVBoxLayout(statusBox_);
  statusLayout->addWidget(transfers_);

  renderers_ = new QPushButton(this);
  renderers_->setObjectName("dmaSetup");
  exit_ = new QPushButton(this);
  exit_->setObjectName("systemExit");
  about_ = new QPushButton(this);
  about_->setObjectName("systemAbout");
  connect(renderers_, &QPushButton::clicked, this, [this] { context_.prompts.showRenderers(); });
  connect(exit_, &QPushButton::clicked, this, [this] { context_.exit(); });
  connect(about_, &QPushButton::clicked, this, [this] { context_.about(); });

  auto* nameRow = new QHBoxLayout;
  nameRow->addWidget(serverName_, 1);
  nameRow->addWidget(change_);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(renderers_);
  buttons->addStretch();
  buttons->addWidget(about_);
  buttons->addWidget(exit_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(nameRow);
  layout->addWidget(statusBox_, 1);
  layout->addLayout(buttons);

  Retranslate();
}

void CSystemPage::Retranslate() {
  change_->setText(Tr("Change"));
  statusBox_->setTitle(Tr("ConnectionStatus"));
  renderers_->setText(Tr("DMASetup"));
  exit_->setText(Tr("Exit"));
  about_->setText(Tr("About"));
  transfers_->Retranslate();
  ShowServerName();
}

void CSystemPage::ShowServerName() {
  const std::string name =
      platform::Utf8Cap(context_.controller.ServerName(), kServerNameShownBytes);
  serverName_->setText(Tr("ServerName") + QStringLiteral(": ") + QtText(name));
}

void CSystemPage::Tick() { transfers_->Refresh(); }

void CSystemPage::ChangeServerName() {
  std::optional<std::string> name =
      context_.prompts.askServerName(context_.controller.ServerName());
  if (!name) return;
  if (!IsValidServerName(*name)) {
    context_.prompts.inform(Text("InvalidServerName"), Text("InvalidServerNameMsg"));
    return;
  }
  const bool announced = MediaServerService_IsRunning() != 0;
  context_.controller.RenameServer(*name);
  ShowServerName();
  if (announced) {
    context_.prompts.inform(Text("ChangeServerNameCaption"), Text("RestartAfterChangeServerName"));
  }
}
