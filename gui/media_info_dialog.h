// The media information dialog: a file's name and its title, artist, album and genre;
// confirming writes the edited tags to the file and to the library.
#pragma once

#include <QDialog>
#include <string>

class QLineEdit;

class CMediaInfoDialog : public QDialog {
 public:
  CMediaInfoDialog(const std::string& path, QWidget* parent = nullptr);

  // Saves the fields; on success the dialog closes, else the user is told and it stays.
  void Save();

 private:
  std::string path_;
  QLineEdit* title_;
  QLineEdit* author_;
  QLineEdit* album_;
  QLineEdit* genre_;
};
