#include "library/testing/temp_library.h"

#include "library/library.h"
#include "platform/app_directory.h"
#include "platform/message_box.h"

TempLibrary::TempLibrary() {
  if (dir_.path().empty()) return;
  platform::InitAppDirectory(dir_.path());
  platform::SetMessageBoxPresenter([this](std::string_view title, std::string_view text) {
    messages_.push_back(std::string(title) + ": " + std::string(text));
  });
  ok_ = db_open() == 1;
}

TempLibrary::~TempLibrary() {
  db_close();
  platform::SetMessageBoxPresenter(nullptr);
}
