#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "net/client/http_client.h"
#include "net/client/upstream_gate.h"
#include "net/client/upstream_pool.h"
#include "net/server/http_server.h"
#include "shell/custom_ini_file.h"
#include "shell/desktop_shell.h"
#include "shell/log_history_queue.h"
#include "shell/popup_menu.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/optional_engines.h"
#include "translate/translation_service.h"

namespace tessarine::shell {

struct TProxyCoreOptions {
  // Opens the settings file; FormCreate calls it once and FormDestroy releases what it gave.
  std::function<std::unique_ptr<TCustomIniFile>()> OpenSettings;
  // Also receives every log line, on the thread that logs it (the --log option); must not wait for the UI.
  std::function<void(const std::u16string& line)> EchoLogLine;
  // The translation cache's database, used with [Cache] Persist=1; empty keeps the cache in memory only.
  std::string CacheDatabase;

  // Test hooks, not settings: IdHTTPServer1 listens on this one address and port (0: any free one) instead
  // of all addresses on 8888, and the engine calls go to this client (ended by this abort) instead of IdHTTP1
  // and the pool, all of them.
  std::optional<std::pair<std::u16string, uint16_t>> ListenForTesting;
  translate::IUpstreamClient* UpstreamForTesting = nullptr;
  std::function<void()> AbortUpstreamForTesting;
};

// Everything of the main window Form1 that is not drawing: the local server, the upstream client with its pool
// and gate, the translation service, the engine choice, the settings, the Babylon table, the popup menu as a
// model, the log's lines on their way to the log window, and the handlers of the menu, the timer, the tray icon
// and the window. A desktop shell draws it (IDesktopShell) and forwards what the user does; so each behaviour is
// written once for every toolkit. Everything here runs on the UI thread except AddLogLine, IdHTTPServer1CommandGet
// and translateget, which the server's worker threads call.
class TProxyCore : public translate::ILogSink {
 public:
  // Timer1's interval; the shell's timer calls Timer1Timer this often, from the core's creation on.
  static constexpr int kTimer1Interval = 1000;

  // The components in their designed state; FormCreate runs only once the shell has its windows (Created).
  TProxyCore(IDesktopShell& shell, TProxyCoreOptions options);
  // FormDestroy, then the server stopped with every thread joined, and the client released.
  ~TProxyCore() override;
  TProxyCore(const TProxyCore&) = delete;
  TProxyCore& operator=(const TProxyCore&) = delete;

  // The shell's windows exist: runs FormCreate; a failure in it is shown in the error box, and the program goes
  // on all the same.
  void Created();

  // The creation and destruction handlers.
  void FormCreate();
  void FormDestroy();
  // A close request only sends the application to the tray. (When the whole application is ending the shell
  // just closes the window.)
  void FormCloseQuery(bool& CanClose);

  // "Русский" or "English" (exact, case-sensitive); any other value changes nothing.
  void ApplyLanguage(const std::u16string& language);

  // Menu handlers.
  void N6Click();  // server on/off
  void N1Click();  // show the log
  void N2Click();  // clear the log
  void G1Click();
  void B1Click();
  void Y1Click();
  void babylon1Click();
  void P1Click();
  void S1Click();
  void N8Click();  // Russian
  void E1Click();  // English
  void N7Click();  // About
  void N5Click();  // Exit: writes the settings, then ends the application
  // The session is ending (log-off, shutdown) and ends the program without Exit: the settings are written as
  // Exit writes them, so the choices made since the last Exit are kept.
  void SessionEnding();
  void Timer1Timer();
  // The tray icon's mouse messages: the right button opens the menu, a double click performs the menu's default
  // item, anything else does nothing.
  void HandleIconMessage(TIconMessage message);

  // The log panel's append; any thread, never waits for the UI thread.
  void AddLogLine(const std::u16string& line) override;
  // The lines on their way to the log window, which takes them when it shows them.
  TLogHistoryQueue& LogLines() { return m_logLines; }

  // The local server's request handler and the engine call, forwarded to the translation service.
  void IdHTTPServer1CommandGet(server::TIdContext& AContext, server::TIdHTTPRequestInfo& ARequestInfo,
                               server::TIdHTTPResponseInfo& AResponseInfo);
  std::u16string translateget(const std::u16string& text, const std::u16string& langs_out,
                              const std::u16string& langs_in, int servises, const std::u16string& Coder);

  // The engine choice the request handlers read.
  const translate::TEngineChoice& EngineChoice() const { return m_engineChoice; }
  // The menu item of an engine by index: G1 to S1, then an optional engine's item when [Engines] names where it
  // is reached; nullptr otherwise.
  TMenuItem* EngineItem(int index) const;
  // The port the first binding listens on (after the server was switched on).
  uint16_t ListeningPort();

  // What the windows show: the caption above the log, and the tray icon's picture by name.
  const std::u16string& LogCaption() const { return m_logCaption; }
  const std::string& TrayPicture() const { return m_trayPicture; }

  // The line added to the bind error: "Port 8888 is in use by another program."; with an address (the
  // server kept to one), that address too.
  static std::u16string PortInUseText(const std::u16string& address, uint16_t port);

  // Components. The menu items point into PopupMenu1.
  TPopupMenu PopupMenu1;
  TMenuItem* N6;
  TMenuItem* N1;
  TMenuItem* N2;
  TMenuItem* N3;
  TMenuItem* G1;
  TMenuItem* B1;
  TMenuItem* Y1;
  TMenuItem* babylon1;
  TMenuItem* P1;
  TMenuItem* S1;
  TMenuItem* N4;
  TMenuItem* N8;
  TMenuItem* E1;
  TMenuItem* N9;
  TMenuItem* N7;
  TMenuItem* N5;
  client::TIdHTTP IdHTTP1;
  server::TIdHTTPServer IdHTTPServer1;

  // The on/off item's two texts for the current language; empty until a language is applied.
  std::u16string OnCaption;
  std::u16string OffCaption;
  // The server state as Timer1 last saw it; saved at Exit.
  bool ProxyActiveFlag = false;

 private:
  TMenuItem* addItem(const std::string& name, const std::u16string& caption, const std::string& picture,
                     void (TProxyCore::*handler)());
  void createService(translate::TEngineHosts hosts, translate::TServiceExtras extras = {});
  // The item of a configured optional engine, after P1 and the optional engines before it in the table.
  void addOptionalItem(const translate::TOptionalEngine& engine, bool checked);
  // The tray picture an engine item shows.
  static std::string enginePicture(int index);
  void setTrayPicture(const std::string& picture);
  // IdHTTPServer1 listens on this one address only ([Server] Address); raises for a value that is no IP address.
  void listenOnlyOn(const std::u16string& address);
  void engineClick(int index);
  // Copies the engine choice onto the engine items' check marks.
  void showEngineChoice();
  // Switches the server on; a bind failure names the port.
  void startServer();
  // The server state, the engine check marks and the language into the settings file.
  void writeSettings();
  // Switches the server off without being held up by an engine call.
  void stopServer();

  IDesktopShell& m_shell;
  TProxyCoreOptions m_options;
  translate::TEngineChoice m_engineChoice;
  // Clients of their own for the calls to an engine that serves several at once (Apertium), beside IdHTTP1.
  client::TUpstreamPool m_pool;
  client::TUpstreamGate m_upstream;
  TLogHistoryQueue m_logLines{kLogHistoryLines, kLogHistoryCharacters};
  std::unique_ptr<TCustomIniFile> SettingsFile;
  // Why the settings file could not be used at start-up; then Exit does not write it. Empty normally.
  std::u16string m_settingsUnusable;
  std::unique_ptr<translate::TBabylonTable> m_babylon;
  std::unique_ptr<translate::TTranslationService> m_service;
  std::array<TMenuItem*, translate::kEngineCount> m_engineItems{};
  // The optional engines' items by engine index from kEngineCount; nullptr while not configured.
  std::array<TMenuItem*, translate::kAllEngineCount - translate::kEngineCount> m_optionalItems{};
  std::u16string m_logCaption;
  std::string m_trayPicture;
};

}  // namespace tessarine::shell
