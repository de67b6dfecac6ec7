// The window's texts: each key the window, its dialogs and the tray menu look up, with the
// built-in English shown when no language is loaded or the language lacks the key.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct BuiltInText {
  const char* key;
  const char* english;
};

// Every key the window uses, in no particular order.
const std::vector<BuiltInText>& WindowTexts();

// The current language's text for `key`, else its built-in English, else the key itself.
std::string Text(std::string_view key);
