// User-visible failure messages. With the window running they are modal message boxes;
// headless they are one line "Title: text" on standard error.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

// Shows `text` titled `title` and returns when the user has dismissed it (at once when
// headless). Safe from any thread.
void MessageBox(std::string_view title, std::string_view text);

// The window installs its presenter here; nullptr returns to the headless form.
using MessageBoxPresenter = std::function<void(std::string_view title, std::string_view text)>;
void SetMessageBoxPresenter(MessageBoxPresenter presenter);

}  // namespace platform
