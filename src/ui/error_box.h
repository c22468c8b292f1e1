#pragma once

#include <string>

namespace tessarine::ui {

// The Qt error box that shell::ShowErrorBox presents (TApplication installs it): a message box with an error
// icon and the application title, waited for. False on the platforms without a screen (offscreen, minimal),
// where nobody could click it away.
bool PresentErrorBox(const std::u16string& text);

}  // namespace tessarine::ui
