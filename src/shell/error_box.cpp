#include "shell/error_box.h"

#include <cstdio>
#include <exception>
#include <mutex>

#include "common/exception.h"
#include "common/text.h"

namespace tessarine::shell {

namespace {

std::mutex g_mutex;
TErrorBoxPresenter g_presenter;
TErrorBoxHandler g_handler;
TErrorEcho g_echo;

}  // namespace

std::u16string WithFullStop(std::u16string message) {
  if (!message.empty() && message.back() > u'.') message.push_back(u'.');
  return message;
}

void ShowErrorBox(const std::u16string& message) {
  const std::u16string text = WithFullStop(message);
  TErrorBoxPresenter presenter;
  TErrorBoxHandler handler;
  TErrorEcho echo;
  {
    std::lock_guard lock(g_mutex);
    presenter = g_presenter;
    handler = g_handler;
    echo = g_echo;
  }
  // Before the box, which waits for a click.
  if (echo) echo(text);
  if (handler) {
    handler(text);
    return;
  }
  if (presenter && presenter(text)) return;
  if (echo) return;
  std::fprintf(stderr, "%s: %s\n", ToUtf8(kApplicationTitle).c_str(), ToUtf8(text).c_str());
  std::fflush(stderr);
}

TErrorBoxPresenter SetErrorBoxPresenter(TErrorBoxPresenter presenter) {
  std::lock_guard lock(g_mutex);
  std::swap(g_presenter, presenter);
  return presenter;
}

TErrorEcho SetErrorEcho(TErrorEcho echo) {
  std::lock_guard lock(g_mutex);
  std::swap(g_echo, echo);
  return echo;
}

TErrorBoxHandler SetErrorBoxHandler(TErrorBoxHandler handler) {
  std::lock_guard lock(g_mutex);
  std::swap(g_handler, handler);
  return handler;
}

std::u16string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const tessarine::Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return FromUtf8(e.what());
  } catch (...) {
    return u"Unknown error";
  }
}

void ShowCurrentException() { ShowErrorBox(CurrentExceptionMessage()); }

}  // namespace tessarine::shell
