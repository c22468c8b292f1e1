#pragma once

#include <string>

namespace tessarine::ui::win32 {

// The error box of the Win32 shell (shell::SetErrorBoxPresenter): a message box with the error icon and the
// application title, in front of every window, waited for. False where there is no display to show it on.
bool PresentErrorBox(const std::u16string& text);

}  // namespace tessarine::ui::win32
