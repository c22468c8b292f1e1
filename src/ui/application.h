#pragma once

#include <QApplication>

#include "shell/error_box.h"

namespace tessarine::ui {

// The application object (its title, "Tessarine", is the error boxes' caption): it stays alive while no window is
// visible (the proxy lives in the tray), it presents the error boxes while it exists, and it is the last catch site
// for an exception that leaves any event handler.
class TApplication : public QApplication {
  Q_OBJECT

 public:
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  bool notify(QObject* receiver, QEvent* event) override;

  // The application is being ended from outside: while it handles a quit (the session manager's, the
  // platform's), and from the moment the session manager asks for the program's data at log-off or shutdown.
  // Windows then close instead of going to the tray, so that nothing refuses the end.
  static bool Ending();

 protected:
  bool event(QEvent* event) override;

 private:
  shell::TErrorBoxPresenter m_previousPresenter;
};

}  // namespace tessarine::ui
