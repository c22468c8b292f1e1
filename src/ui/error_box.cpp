#include "ui/error_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <cstdio>
#include <exception>
#include <mutex>

#include "common/exception.h"
#include "common/text.h"
#include "ui/qt_text.h"

namespace tessarine::ui {

namespace {

std::mutex g_handlerMutex;
TErrorBoxHandler g_handler;
TErrorEcho g_echo;

bool HasScreen() {
  const QString platform = QGuiApplication::platformName();
  return !platform.isEmpty() && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void DefaultErrorBox(const std::u16string& text, bool echoed) {
  if (!HasScreen()) {
    if (echoed) return;
    std::fprintf(stderr, "%s: %s\n", ToUtf8(kApplicationTitle).c_str(), ToUtf8(text).c_str());
    std::fflush(stderr);
    return;
  }
  QMessageBox box(QMessageBox::Critical, ToQString(kApplicationTitle), ToQString(text), QMessageBox::Ok);
  box.exec();
}

}  // namespace

std::u16string WithFullStop(std::u16string message) {
  if (!message.empty() && message.back() > u'.') message.push_back(u'.');
  return message;
}

void ShowErrorBox(const std::u16string& message) {
  const std::u16string text = WithFullStop(message);
  TErrorBoxHandler handler;
  TErrorEcho echo;
  {
    std::lock_guard lock(g_handlerMutex);
    handler = g_handler;
    echo = g_echo;
  }
  // Before the box, which waits for a click.
  if (echo) echo(text);
  if (handler) {
    handler(text);
  } else {
    DefaultErrorBox(text, static_cast<bool>(echo));
  }
}

TErrorEcho SetErrorEcho(TErrorEcho echo) {
  std::lock_guard lock(g_handlerMutex);
  std::swap(g_echo, echo);
  return echo;
}

TErrorBoxHandler SetErrorBoxHandler(TErrorBoxHandler handler) {
  std::lock_guard lock(g_handlerMutex);
  std::swap(g_handler, handler);
  return handler;
}

void ShowCurrentException() {
  try {
    throw;
  } catch (const tessarine::Exception& e) {
    ShowErrorBox(e.Message());
  } catch (const std::exception& e) {
    ShowErrorBox(FromUtf8(e.what()));
  } catch (...) {
    ShowErrorBox(u"Unknown error");
  }
}

}  // namespace tessarine::ui
