#include "ui/win32/error_box.h"

#include <windows.h>

#include "shell/error_box.h"
#include "ui/win32/wide_text.h"

namespace tessarine::ui::win32 {

bool PresentErrorBox(const std::u16string& text) {
  // A service or a session without a desktop has no monitor: a box there would wait for ever.
  if (GetSystemMetrics(SM_CMONITORS) <= 0) return false;
  MessageBoxW(nullptr, Wide(text).c_str(), Wide(shell::kApplicationTitle).c_str(),
              MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND | MB_TOPMOST);
  return true;
}

}  // namespace tessarine::ui::win32
