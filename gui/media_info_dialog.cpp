#include "gui/media_info_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "gui/media_details.h"
#include "gui/qt_text.h"

CMediaInfoDialog::CMediaInfoDialog(const std::string& path, QWidget* parent)
    : QDialog(parent), path_(path) {
  setWindowTitle(Tr("MediaDetails"));
  const MediaDetails details = ReadMediaDetails(path);
  auto make = [this](const char* name, const std::string& text) {
    auto* edit = new QLineEdit(QtText(text), this);
    edit->setObjectName(name);
    return edit;
  };
  title_ = make("title", details.Title);
  author_ = make("artist", details.Author);
  album_ = make("album", details.Album);
  genre_ = make("genre", details.Genre);

  auto* name = new QLabel(QtText(path), this);
  name->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(Tr("OK"));
  buttons->button(QDialogButtonBox::Cancel)->setText(Tr("Cancel"));
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { Save(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* form = new QFormLayout(this);
  form->addRow(new QLabel(Tr("EditMediaDetail"), this));
  form->addRow(Tr("Filename") + QStringLiteral(":"), name);
  form->addRow(Tr("Title") + QStringLiteral(":"), title_);
  form->addRow(Tr("Artist") + QStringLiteral(":"), author_);
  form->addRow(Tr("Album") + QStringLiteral(":"), album_);
  form->addRow(Tr("Genre") + QStringLiteral(":"), genre_);
  form->addRow(buttons);
}

void CMediaInfoDialog::Save() {
  MediaDetails details{Utf8Text(title_->text()), Utf8Text(author_->text()),
                       Utf8Text(album_->text()), Utf8Text(genre_->text())};
  if (!SaveMediaDetails(path_, details)) {
    QMessageBox::warning(this, Tr("MediaDetails"), Tr("CannotWriteTags"));
    return;
  }
  accept();
}
