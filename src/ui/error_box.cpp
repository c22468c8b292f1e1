#include "ui/error_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include "shell/error_box.h"
#include "ui/qt_text.h"

namespace tessarine::ui {

namespace {

bool HasScreen() {
  const QString platform = QGuiApplication::platformName();
  return !platform.isEmpty() && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

}  // namespace

bool PresentErrorBox(const std::u16string& text) {
  if (!HasScreen()) return false;
  QMessageBox box(QMessageBox::Critical, ToQString(shell::kApplicationTitle), ToQString(text), QMessageBox::Ok);
  box.exec();
  return true;
}

}  // namespace tessarine::ui
