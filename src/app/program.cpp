#include "app/program.h"

#include <QCoreApplication>
#include <QString>
#include <iostream>
#include <memory>
#include <string>

#include "app/check_engines.h"
#include "app/ini_file.h"
#include "app/stop_signals.h"
#include "ui/application.h"
#include "ui/error_box.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/theme.h"

namespace tessarine::app {

int RunTessarineProxy(int argc, char** argv) {
  if (const std::optional<int> code = RunCheckEnginesIfAsked(argc, argv, std::cout, std::cerr)) return *code;
  // Before any thread starts (Qt's own included), so the stop signals reach only the message loop.
  TStopSignals::BlockInThisThread();
  ui::TApplication application(argc, argv);
  TStopSignals stopSignals;
  ui::RunHandler([&] { ui::ApplyTheme(application, ui::kThemeName); });

  const std::string settingsPath =
      (QCoreApplication::applicationDirPath() + QStringLiteral("/setting.ini")).toStdString();
  ui::TForm1Options options;
  options.OpenSettings = [settingsPath] { return std::make_unique<TIniFile>(settingsPath); };
  options.CacheDatabase = settingsPath.substr(0, settingsPath.rfind('/') + 1) + "translations.sqlite";
  {
    ui::TForm1 Form1(std::move(options));
    ui::TForm2 Form2;
    Form1.SetForm2(&Form2);
    // The main window starts minimized: it stays hidden and the proxy goes straight to the tray.
    Form1.TrayIcon->MinimizeToTray();
    if (!stopSignals.StopRequested()) QCoreApplication::exec();
    Form1.SetForm2(nullptr);
  }  // the About window goes first, then the main window: server stopped, threads joined, tray icon removed
  return 0;
}

}  // namespace tessarine::app
