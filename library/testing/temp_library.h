// A fresh program directory with an open library, for tests of every subsystem that
// reads or writes the library. Messages and log lines are captured, not printed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class TempLibrary {
 public:
  // Creates the directory, makes it the program directory and opens the library.
  TempLibrary();
  // Closes the library and removes the directory.
  ~TempLibrary();
  TempLibrary(const TempLibrary&) = delete;
  TempLibrary& operator=(const TempLibrary&) = delete;

  bool ok() const { return ok_; }
  const std::string& dir() const { return dir_; }
  std::string Path(std::string_view name) const { return dir_ + "/" + std::string(name); }
  // Message boxes shown since construction ("Title: text").
  const std::vector<std::string>& messages() const { return messages_; }

 private:
  std::string dir_;
  bool ok_ = false;
  std::vector<std::string> messages_;
};
