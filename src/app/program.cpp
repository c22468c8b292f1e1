#include "app/program.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/check_engines.h"
#include "app/command_line.h"
#include "app/ini_file.h"
#include "app/open_file_limit.h"
#include "app/settings_location.h"
#include "app/stop_signals.h"
#include "common/text.h"
#include "shell/error_box.h"
#include "shell/log_echo.h"
#include "ui/application.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/theme.h"

namespace tessarine::app {

int RunTessarineProxy(int argc, char** argv) {
  const TCommandLine commandLine = ParseCommandLine(argc, argv);
  if (const std::optional<int> exitCode = AnswerWithoutStarting(commandLine)) return *exitCode;
  if (commandLine.CheckEngines) {
    return CheckEngines(FindSettingsFile(commandLine.SettingsFile).FileName, FromUtf8(commandLine.CheckText),
                        FromUtf8(commandLine.CheckLangpair), std::cout);
  }

  // Before the server opens a socket; where the system refuses, the server lives with the limit it has.
  if (!RaiseOpenFileLimit()) std::fprintf(stderr, "The open-file limit could not be raised to its hard limit.\n");
  // Before any thread starts (Qt's own included), so the stop signals reach only the message loop.
  TStopSignals::BlockInThisThread();
  ui::TApplication application(argc, argv);
  // Outlives the main window, and so the request threads that it stops, and every message box.
  std::optional<shell::TLogEcho> echo;
  if (commandLine.Log) {
    echo.emplace(STDERR_FILENO);
    // Without a display nobody sees a message box: its text goes to stderr beside the log lines.
    shell::SetErrorEcho([&echo](const std::u16string& text) { echo->Add(shell::kApplicationTitle + (u": " + text)); });
  }
  TStopSignals stopSignals;
  // Watched from here on, so a signal during a start-up error box ends that box's loop too. exit, not quit: a
  // quit can be refused by a window that will not close, as the main window will not.
  QSocketNotifier stopNotifier(stopSignals.Descriptor(), QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &stopNotifier, [&stopSignals] {
    stopSignals.TakeSignals();
    QCoreApplication::exit(0);
  });
  shell::RunHandler([&] { ui::ApplyTheme(application, ui::kThemeName); });

  const TSettingsPlace settings = FindSettingsFile(commandLine.SettingsFile);
  std::printf("Settings file: %s\n", settings.FileName.c_str());
  std::fflush(stdout);
  ui::TForm1Options options;
  options.OpenSettings = [settings] { return std::make_unique<TIniFile>(settings.FileName, settings.CreateFolder); };
  if (echo) options.EchoLogLine = [&echo](const std::u16string& line) { echo->Add(line); };
  options.CacheDatabase = CacheDatabaseBeside(settings.FileName);
  {
    ui::TForm1 Form1(std::move(options));
    ui::TForm2 Form2;
    Form1.SetForm2(&Form2);
    // The main window starts minimized: it stays hidden and the proxy goes straight to the tray.
    Form1.TrayIcon->MinimizeToTray();
    if (!stopSignals.StopRequested()) QCoreApplication::exec();
    Form1.SetForm2(nullptr);
  }  // the About window goes first, then the main window: server stopped, threads joined, tray icon removed
  if (echo) shell::SetErrorEcho(nullptr);
  return 0;
}

}  // namespace tessarine::app
