#include "platform/message_box.h"

#include <mutex>
#include <string>

#include "platform/log.h"

namespace platform {
namespace {

std::mutex g_presenterMutex;
MessageBoxPresenter g_presenter;

}  // namespace

void MessageBox(std::string_view title, std::string_view text) {
  MessageBoxPresenter presenter;
  {
    std::lock_guard lock(g_presenterMutex);
    presenter = g_presenter;
  }
  if (presenter) {
    presenter(title, text);
    return;
  }
  std::string line;
  line.reserve(title.size() + text.size() + 3);
  line.append(title).append(": ").append(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  Log(title == "Error" ? LogLevel::kError : LogLevel::kInfo, line);
}

void SetMessageBoxPresenter(MessageBoxPresenter presenter) {
  std::lock_guard lock(g_presenterMutex);
  g_presenter = std::move(presenter);
}

}  // namespace platform
