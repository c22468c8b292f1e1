#include "ui/application.h"

#include <QSessionManager>

#include "ui/error_box.h"

namespace tessarine::ui {

namespace {

bool g_quitting = false;
bool g_sessionEnding = false;

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("tessarine-proxy"));
  setQuitOnLastWindowClosed(false);
  // Never cancelled: a tray program must not hold up a log-off or shutdown (the main window saves the
  // settings on the same request).
  connect(this, &QGuiApplication::commitDataRequest, this, [](QSessionManager&) { g_sessionEnding = true; });
  m_previousPresenter = shell::SetErrorBoxPresenter(PresentErrorBox);
}

TApplication::~TApplication() { shell::SetErrorBoxPresenter(std::move(m_previousPresenter)); }

bool TApplication::notify(QObject* receiver, QEvent* event) {
  // Handlers are entered through RunHandler; this catches what any other event handler lets escape, so that
  // the error reaches the user instead of ending the program.
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    shell::ShowCurrentException();
    return false;
  }
}

bool TApplication::Ending() { return g_quitting || g_sessionEnding; }

bool TApplication::event(QEvent* event) {
  if (event->type() != QEvent::Quit) return QApplication::event(event);
  // The quit closes every window first and is dropped when one of them stays open.
  g_quitting = true;
  const bool handled = QApplication::event(event);
  g_quitting = false;
  return handled;
}

}  // namespace tessarine::ui
