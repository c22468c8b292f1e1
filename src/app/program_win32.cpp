#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/check_engines.h"
#include "app/command_line.h"
#include "app/ini_file.h"
#include "app/program.h"
#include "app/settings_location.h"
#include "app/stop_signals.h"
#include "common/text.h"
#include "shell/error_box.h"
#include "shell/log_echo.h"
#include "ui/win32/error_box.h"
#include "ui/win32/form1.h"
#include "ui/win32/form2.h"

namespace tessarine::app {

namespace {

bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// A program of the Windows subsystem starts without a console: the console it was started from, if any, takes its
// output (--help, --version, --check-engines, --log). Output already redirected to a file or a pipe stays there.
void AttachParentConsole() {
  const bool hasOutput = Usable(GetStdHandle(STD_OUTPUT_HANDLE));
  const bool hasError = Usable(GetStdHandle(STD_ERROR_HANDLE));
  if (hasOutput && hasError) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  // The program writes UTF-8.
  SetConsoleOutputCP(CP_UTF8);
  if (!hasOutput) (void)std::freopen("CONOUT$", "w", stdout);
  if (!hasError) (void)std::freopen("CONOUT$", "w", stderr);
}

// The arguments as UTF-8: the narrow command line of the C runtime is in the ANSI code page and loses every
// character outside it (a settings path in Cyrillic on a Western system, say).
std::vector<std::string> Arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 0; i < count; ++i) {
    const std::wstring argument(wide[i]);
    arguments.push_back(ToUtf8(std::u16string(argument.begin(), argument.end())));
  }
  LocalFree(wide);
  return arguments;
}

// Turns a stop signal into WM_QUIT for the UI thread, so it also ends a modal loop (a start-up error box) that
// knows nothing of the signals: such a loop ends on WM_QUIT and posts it again for the loop outside.
class TStopWatcher {
 public:
  explicit TStopWatcher(const TStopSignals& signals)
      : m_stop(reinterpret_cast<HANDLE>(signals.Descriptor())),
        m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        m_uiThread(GetCurrentThreadId()),
        m_thread([this] {
          const HANDLE handles[] = {m_stop, m_done};
          if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0)
            PostThreadMessageW(m_uiThread, WM_QUIT, 0, 0);
        }) {}
  ~TStopWatcher() {
    SetEvent(m_done);
    m_thread.join();
    CloseHandle(m_done);
  }
  TStopWatcher(const TStopWatcher&) = delete;
  TStopWatcher& operator=(const TStopWatcher&) = delete;

  bool Signalled() const { return WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0; }

 private:
  const HANDLE m_stop;
  const HANDLE m_done;
  const DWORD m_uiThread;
  std::thread m_thread;
};

void RunMessageLoop() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

int RunTessarineProxy(int, char**) {
  AttachParentConsole();
  const TCommandLine commandLine = ParseCommandLine(Arguments());
  if (const std::optional<int> exitCode = AnswerWithoutStarting(commandLine)) return *exitCode;
  if (commandLine.CheckEngines) {
    return CheckEngines(FindSettingsFile(commandLine.SettingsFile).FileName, FromUtf8(commandLine.CheckText),
                        FromUtf8(commandLine.CheckLangpair), std::cout);
  }

  // Outlives the main window, and so the request threads that it stops, and every message box.
  std::optional<shell::TLogEcho> echo;
  if (commandLine.Log) {
    echo.emplace(_fileno(stderr));
    // Without a desktop nobody sees a message box: its text goes to stderr beside the log lines.
    shell::SetErrorEcho([&echo](const std::u16string& text) { echo->Add(shell::kApplicationTitle + (u": " + text)); });
  }
  shell::SetErrorBoxPresenter(&ui::win32::PresentErrorBox);
  TStopSignals stopSignals;
  std::optional<TStopWatcher> watcher;
  watcher.emplace(stopSignals);

  const TSettingsPlace settings = FindSettingsFile(commandLine.SettingsFile);
  std::printf("Settings file: %s\n", settings.FileName.c_str());
  std::fflush(stdout);
  ui::win32::TForm1Options options;
  options.OpenSettings = [settings] { return std::make_unique<TIniFile>(settings.FileName, settings.CreateFolder); };
  if (echo) options.EchoLogLine = [&echo](const std::u16string& line) { echo->Add(line); };
  options.CacheDatabase = CacheDatabaseBeside(settings.FileName);
  {
    ui::win32::TForm1 Form1(std::move(options));
    ui::win32::TForm2 Form2;
    Form1.SetForm2(&Form2);
    // The main window starts minimized: it stays hidden and the proxy goes straight to the tray.
    Form1.MinimizeToTray();
    if (!watcher->Signalled()) RunMessageLoop();
    if (watcher->Signalled()) stopSignals.TakeSignals();
    watcher.reset();
    Form1.SetForm2(nullptr);
  }  // the About window goes first, then the main window: server stopped, threads joined, tray icon removed
  shell::SetErrorBoxPresenter(nullptr);
  if (echo) shell::SetErrorEcho(nullptr);
  return 0;
}

}  // namespace tessarine::app
