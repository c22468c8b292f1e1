#pragma once

#include <functional>
#include <string>
#include <utility>

namespace tessarine::shell {

// The application title: the caption of every error box.
inline constexpr char16_t kApplicationTitle[] = u"Tessarine";

// The message with a full stop appended when its last character comes after "." in code order.
std::u16string WithFullStop(std::u16string message);

// Shows the message (full stop rule applied) in the error box of the desktop shell (see SetErrorBoxPresenter).
// Where the shell has no screen to show it on, or no shell has presented one yet, the text goes to stderr as
// "Tessarine: text" instead of waiting for a click nobody can give.
void ShowErrorBox(const std::u16string& message);

// What the desktop toolkit draws: a box with an error icon, the application title and the text (which already
// carries its full stop), waited for; false when there is no screen to show it on. Returns the previous one.
using TErrorBoxPresenter = std::function<bool(const std::u16string& text)>;
TErrorBoxPresenter SetErrorBoxPresenter(TErrorBoxPresenter presenter);

// Also hands every shown error's text (full stop rule applied) to this function first, on the thread that
// shows it (the --log option writes it to stderr); empty: none. Without a screen the text is then not
// printed a second time. Returns the previous one.
using TErrorEcho = std::function<void(const std::u16string& text)>;
TErrorEcho SetErrorEcho(TErrorEcho echo);

// Replaces what ShowErrorBox does, for tests; returns the previous handler. The text passed on already
// carries the full stop.
using TErrorBoxHandler = std::function<void(const std::u16string& text)>;
TErrorBoxHandler SetErrorBoxHandler(TErrorBoxHandler handler);

// The message of the exception being handled; call inside a catch block.
std::u16string CurrentExceptionMessage();

// The one catch site of the UI thread: call inside a catch block; shows the caught exception's message.
void ShowCurrentException();

// Runs a window or menu handler on the UI thread; an exception leaving it is shown in the error box and
// the program goes on. Neither toolkit's message loop carries exceptions, so every handler is entered
// through here.
template <typename Handler>
void RunHandler(Handler&& handler) {
  try {
    std::forward<Handler>(handler)();
  } catch (...) {
    ShowCurrentException();
  }
}

}  // namespace tessarine::shell
