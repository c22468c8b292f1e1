#pragma once

#include <QApplication>

namespace tessarine::ui {

// The application object (its title, "Tessarine", is the error boxes' caption): it stays alive while no window is
// visible (the proxy lives in the tray), and it is the last catch site for an exception that leaves any event handler.
class TApplication : public QApplication {
  Q_OBJECT

 public:
  TApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace tessarine::ui
