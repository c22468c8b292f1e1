#pragma once

#include <string>
#include <string_view>

namespace tessarine::shell {

// What the tray icon reports of the mouse, whichever notification area it is in.
enum class TIconMessage {
  ContextMenu,  // the right button pressed: the menu is wanted
  Click,        // a single click of the left button
  DoubleClick,  // a double click of the left button
  MiddleClick,
};

// What only a desktop toolkit can do, as the core asks for it. Each shell (the Qt one on Linux, the Win32 one on
// Windows) implements it with its windows; the core calls it on the UI thread only. The error box is the shell's
// too, but boxes come from outside the core as well, so it is presented through SetErrorBoxPresenter.
class IDesktopShell {
 public:
  virtual ~IDesktopShell() = default;

  // The log window back on screen and in front (the tray icon's ShowMainForm); placed again when it was hidden.
  virtual void ShowMainForm() = 0;
  // What minimizing the application does: the log window hidden, the tray icon in the notification area.
  virtual void MinimizeToTray() = 0;
  // The popup menu opened at the pointer; the chosen item is performed once the menu has closed.
  virtual void PopupAtCursor() = 0;
  // The About window shown without waiting for it.
  virtual void ShowAbout() = 0;
  // The log window's text emptied (the core has already dropped the lines on their way to it).
  virtual void ClearLog() = 0;
  // The caption above the log, for the current language.
  virtual void SetLogCaption(const std::u16string& caption) = 0;
  // The tray icon's picture, by its name in the image list.
  virtual void SetTrayPicture(std::string_view picture) = 0;
  // Asks the application to end once the current message has been handled (the last step of Exit).
  virtual void Terminate() = 0;
};

}  // namespace tessarine::shell
