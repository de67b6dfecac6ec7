// The questions the window asks the user. The window asks through this set of functions
// so that one place decides how to ask (modal Qt dialogs in the program; scripted
// answers in tests).
#pragma once

#include <functional>
#include <optional>
#include <string>

class QWidget;
namespace controlpoint {
class RendererSource;
}

struct WindowPrompts {
  // A folder picker titled `title`; empty when cancelled.
  std::function<std::string(const std::string& title)> pickDirectory;
  // A media file picker starting in `directory`; empty when cancelled.
  std::function<std::string(const std::string& title, const std::string& directory)> pickFile;
  // An OK/Cancel question; true for OK.
  std::function<bool(const std::string& title, const std::string& text)> confirm;
  // A message with an OK button.
  std::function<void(const std::string& title, const std::string& text)> inform;
  // The server-name dialog, preset with `current`; nothing when cancelled.
  std::function<std::optional<std::string>(const std::string& current)> askServerName;
  // The media information dialog for `path`; returns when it is closed.
  std::function<void(const std::string& path)> showMediaDetails;
  // The renderer list; returns when it is closed.
  std::function<void()> showRenderers;
};

// Modal Qt dialogs with `parent` as their parent window; the renderer list shows
// `renderers` (nothing is shown without one).
WindowPrompts QtPrompts(QWidget* parent, controlpoint::RendererSource* renderers);
