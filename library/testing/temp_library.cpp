#include "library/testing/temp_library.h"

#include <stdlib.h>

#include <filesystem>

#include "library/library.h"
#include "platform/app_directory.h"
#include "platform/log.h"
#include "platform/message_box.h"

TempLibrary::TempLibrary() {
  char pattern[] = "/tmp/orvex-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  dir_ = pattern;
  platform::InitAppDirectory(dir_);
  platform::SetLogSink([](std::string_view) {});
  platform::SetMessageBoxPresenter([this](std::string_view title, std::string_view text) {
    messages_.push_back(std::string(title) + ": " + std::string(text));
  });
  ok_ = db_open() == 1;
}

TempLibrary::~TempLibrary() {
  db_close();
  platform::SetMessageBoxPresenter(nullptr);
  platform::SetLogSink(nullptr);
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}
