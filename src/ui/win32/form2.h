#pragma once

#include <windows.h>

namespace tessarine::ui::win32 {

// The About window Form2: the emblem, the name, version and build date, and the note; fixed size, in front of
// the other windows. Closing it only hides it. Its first showing centres it in the work area. UI thread only.
class TForm2 {
 public:
  static constexpr int kClientWidth = 360;
  static constexpr int kClientHeight = 195;

  TForm2();
  ~TForm2();
  TForm2(const TForm2&) = delete;
  TForm2& operator=(const TForm2&) = delete;

  HWND Handle() const { return m_window; }
  // Shown without waiting for it, and brought to the front.
  void ShowAbout();

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND m_window = nullptr;
  HICON m_emblem = nullptr;
  bool m_placed = false;
};

}  // namespace tessarine::ui::win32
