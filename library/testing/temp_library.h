// A fresh program directory with an open library, for tests of every subsystem that
// reads or writes the library. Messages and log lines are captured, not printed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/testing/test_support.h"

class TempLibrary {
 public:
  // Makes the directory the program directory and opens the library.
  TempLibrary();
  // Closes the library; the directory goes with it.
  ~TempLibrary();
  TempLibrary(const TempLibrary&) = delete;
  TempLibrary& operator=(const TempLibrary&) = delete;

  bool ok() const { return ok_; }
  const std::string& dir() const { return dir_.path(); }
  std::string Path(std::string_view name) const { return dir_.Join(std::string(name)); }
  // Message boxes shown since construction ("Title: text").
  const std::vector<std::string>& messages() const { return messages_; }

 private:
  platform::testing::TempDir dir_;
  platform::testing::LogCapture log_;
  bool ok_ = false;
  std::vector<std::string> messages_;
};
