#pragma once

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "net/client/http_client.h"
#include "net/client/upstream_gate.h"
#include "net/client/upstream_pool.h"
#include "net/server/http_server.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/optional_engines.h"
#include "translate/translation_service.h"
#include "ui/custom_ini_file.h"
#include "ui/frame_placement.h"
#include "ui/image_list.h"
#include "ui/log_memo.h"
#include "ui/tray_icon.h"

namespace tessarine::ui {

class TForm2;

struct TForm1Options {
  // Opens the settings file; FormCreate calls it once and FormDestroy releases what it gave.
  std::function<std::unique_ptr<TCustomIniFile>()> OpenSettings;
  // Asks the application to end once the current message is handled (the last step of Exit).
  std::function<void()> Terminate;
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

// The main window Form1: the always-on-top log window, and the owner of the local server, the upstream
// client, the tray icon, the popup menu, the image list and Timer1. Everything here runs on the UI thread
// except AddLogLine, IdHTTPServer1CommandGet and translateget, which the server's worker threads call.
class TForm1 : public QWidget, public translate::ILogSink {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 302;
  static constexpr int kClientHeight = 181;

  // Creates the components in their designed state, then runs FormCreate; a failure in FormCreate is
  // shown in the error box and the window is created all the same.
  explicit TForm1(TForm1Options options);
  // FormDestroy, then the server stopped with every thread joined, the client released and the tray icon
  // removed.
  ~TForm1() override;

  // The creation and destruction handlers.
  void FormCreate();
  void FormDestroy();
  // Places the window at the right edge of the primary screen, above a bottom panel; again once the window
  // manager has framed it, when the frame is not the size first assumed.
  void FormShow();
  // A close request only sends the application to the tray (a minimize does the same); when the whole
  // application is ending, the window just closes.
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

  // The log panel's append; any thread, never waits for the UI thread.
  void AddLogLine(const std::u16string& line) override;

  // The local server's request handler and the engine call, forwarded to the translation service.
  void IdHTTPServer1CommandGet(server::TIdContext& AContext, server::TIdHTTPRequestInfo& ARequestInfo,
                               server::TIdHTTPResponseInfo& AResponseInfo);
  std::u16string translateget(const std::u16string& text, const std::u16string& langs_out,
                              const std::u16string& langs_in, int servises, const std::u16string& Coder);

  // The About window, created by start-up after this window (not owned).
  void SetForm2(TForm2* form2) { Form2 = form2; }

  // The engine choice the request handlers read.
  const translate::TEngineChoice& EngineChoice() const { return m_engineChoice; }
  // The menu item of an engine by index: G1 to S1, then an optional engine's item when [Engines] names where it
  // is reached; nullptr otherwise.
  QAction* EngineItem(int index) const;
  // The picture now shown by the on/off item.
  int N6ImageIndex() const { return m_n6ImageIndex; }
  // The port the first binding listens on (after the server was switched on).
  uint16_t ListeningPort();

  // The line added to the bind error: "Port 8888 is in use by another program."; with an address (the
  // server kept to one), that address too.
  static std::u16string PortInUseText(const std::u16string& address, uint16_t port);

  // FormShow's arithmetic: the left edge touches the primary screen's right edge; a panel along the bottom
  // (the part of the primary screen below its work area) gives T, its top edge, and the window sits on it;
  // with no bottom panel T = 0 and the top is outer height - 5.
  static QPoint FormShowPosition(const QRect& primaryScreen, const QRect& primaryWorkArea, const QSize& outerSize);

  // Components.
  QLabel* sLabel1;
  TLogMemo* sMemo1;
  TImageList sAlphaImageList1;
  QMenu* PopupMenu1;
  QAction* N6;
  QAction* N1;
  QAction* N2;
  QAction* N3;
  QAction* G1;
  QAction* B1;
  QAction* Y1;
  QAction* babylon1;
  QAction* P1;
  QAction* S1;
  QAction* N4;
  QAction* N8;
  QAction* E1;
  QAction* N9;
  QAction* N7;
  QAction* N5;
  TTrayIcon* TrayIcon;
  QTimer* Timer1;
  client::TIdHTTP IdHTTP1;
  server::TIdHTTPServer IdHTTPServer1;

  // The on/off item's two texts for the current language; empty until a language is applied.
  std::u16string OnCaption;
  std::u16string OffCaption;
  // The server state as Timer1 last saw it; saved at Exit.
  bool ProxyActiveFlag = false;

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QAction* addItem(const QString& caption, int imageIndex, void (TForm1::*handler)());
  void createService(translate::TEngineHosts hosts, translate::TServiceExtras extras = {});
  // The item of a configured optional engine, after P1 and the optional engines before it in the table.
  void addOptionalItem(const translate::TOptionalEngine& engine, bool checked);
  // The tray picture an engine item shows.
  static int enginePicture(int index);
  // IdHTTPServer1 listens on this one address only ([Server] Address); raises for a value that is no IP address.
  void listenOnlyOn(const std::u16string& address);
  void engineClick(int index);
  // Copies the engine choice onto the engine items' check marks.
  void showEngineChoice();
  void setN6Picture(int imageIndex);
  // Switches the server on; a bind failure names the port.
  void startServer();
  // The server state, the engine check marks and the language into the settings file.
  void writeSettings();
  // Switches the server off without being held up by an engine call.
  void stopServer();

  TForm1Options m_options;
  translate::TEngineChoice m_engineChoice;
  // Clients of their own for the calls to an engine that serves several at once (Apertium), beside IdHTTP1.
  client::TUpstreamPool m_pool;
  client::TUpstreamGate m_upstream;
  std::unique_ptr<TCustomIniFile> SettingsFile;
  // Why the settings file could not be used at start-up; then Exit does not write it. Empty normally.
  std::u16string m_settingsUnusable;
  std::unique_ptr<translate::TBabylonTable> m_babylon;
  std::unique_ptr<translate::TTranslationService> m_service;
  std::array<QAction*, translate::kEngineCount> m_engineItems{};
  // The optional engines' items by engine index from kEngineCount; nullptr while not configured.
  std::array<QAction*, translate::kAllEngineCount - translate::kEngineCount> m_optionalItems{};
  int m_n6ImageIndex = TImageList::kOffline;
  TForm2* Form2 = nullptr;
  TFramePlacement* m_placement;
};

}  // namespace tessarine::ui
