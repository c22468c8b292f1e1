#include "ui/application.h"

#include "ui/error_box.h"

namespace tessarine::ui {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("tessarine-proxy"));
  setQuitOnLastWindowClosed(false);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  // Handlers are entered through RunHandler; this catches what any other event handler lets escape, so that
  // the error reaches the user instead of ending the program.
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ShowCurrentException();
    return false;
  }
}

}  // namespace tessarine::ui
