// The server-name dialog: one line preset with the current name.
#pragma once

#include <optional>
#include <string>

class QWidget;

// The name entered, or nothing when cancelled. Validation is the caller's.
std::optional<std::string> AskServerName(const std::string& current, QWidget* parent);
