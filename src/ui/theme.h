#pragma once

#include <string>
#include <string_view>

class QApplication;

namespace tessarine::ui {

// The theme every window is drawn in.
inline constexpr char16_t kThemeName[] = u"Windows10 SlateGray";

// Applies a built-in theme (a style, a palette and a style sheet compiled into the program), its name
// compared without regard to letter case. An unknown name raises "Style '%s' not found" and changes nothing.
void ApplyTheme(QApplication& application, std::u16string_view name);

}  // namespace tessarine::ui
