#include "ui/form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QSessionManager>
#include <QShowEvent>
#include <algorithm>
#include <exception>

#include "common/exception.h"
#include "common/text.h"
#include "net/exceptions.h"
#include "net/socket_stack.h"
#include "translate/service_settings.h"
#include "ui/application.h"
#include "ui/error_box.h"
#include "ui/form2.h"
#include "ui/qt_text.h"

namespace tessarine::ui {

namespace {

const std::u16string kGeneral = u"General";
const std::u16string kSetting = u"Setting";
const std::u16string kEngines = u"Engines";
const std::u16string kServer = u"Server";
const std::u16string kLanguage = u"Language";
const std::u16string kRussian = u"Русский";
const std::u16string kEnglish = u"English";

// The saved engine flags, in the order of the engine items (SYSTRAN has none).
constexpr std::array<const char16_t*, 5> kEngineKeys{u"Google", u"Bing", u"Yandex", u"Babylon", u"Promt"};
constexpr std::array<bool, 5> kEngineDefaults{true, false, false, false, false};
// The optional host overrides, by engine index.
constexpr std::array<const char16_t*, translate::kEngineCount> kEngineHostKeys{u"Google",  u"Bing",  u"Yandex",
                                                                               u"Babylon", u"Promt", u"SYSTRAN"};
// The tray picture each engine item shows.
constexpr std::array<int, translate::kEngineCount> kEnginePictures{TImageList::kGoogle, TImageList::kBing,
                                                                   TImageList::kYandex, TImageList::kBabylon,
                                                                   TImageList::kPromt,  TImageList::kSystran};

struct TCaptions {
  const char16_t* Label;
  const char16_t* ShowLog;
  const char16_t* ClearLog;
  const char16_t* About;
  const char16_t* Exit;
  const char16_t* On;
  const char16_t* Off;
};

// The on/off item names the server's state in both languages ("Включено" is "On"), never the action.
constexpr TCaptions kRussianCaptions{
    u"Лог запросов и ответов:", u"Показать лог", u"Очистить лог", u"О программе", u"Выход", u"Включено", u"Выключено"};
constexpr TCaptions kEnglishCaptions{
    u"Log of requests and answers:", u"Show log", u"Clear log", u"About", u"Exit", u"On", u"Off"};

}  // namespace

TForm1::TForm1(TForm1Options options)
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowStaysOnTopHint),
      m_options(std::move(options)),
      m_upstream(
          m_options.UpstreamForTesting ? *m_options.UpstreamForTesting
                                       : static_cast<translate::IUpstreamClient&>(IdHTTP1),
          [this] {
            if (m_options.AbortUpstreamForTesting) {
              m_options.AbortUpstreamForTesting();
            } else {
              IdHTTP1.Abort();
              m_pool.Abort();
            }
          },
          [this] {
            if (m_options.AbortUpstreamForTesting) return;
            IdHTTP1.ResumeCalls();
            m_pool.ResumeCalls();
          },
          m_options.UpstreamForTesting ? nullptr : &m_pool) {
  if (!m_options.OpenSettings) throw Exception("TForm1 needs a settings file");
  // exit, not quit: a quit can be refused by a window that will not close, as this one will not.
  if (!m_options.Terminate) m_options.Terminate = [] { QCoreApplication::exit(0); };

  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Tessarine Proxy"));
  setFixedSize(kClientWidth, kClientHeight);
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);

  sLabel1 = new QLabel(ToQString(kRussianCaptions.Label), this);
  sLabel1->setGeometry(0, 0, kClientWidth, 13);
  QPalette labelPalette = sLabel1->palette();
  labelPalette.setColor(QPalette::WindowText, QColor(0xE8, 0xE8, 0xE8));
  sLabel1->setPalette(labelPalette);

  sMemo1 = new TLogMemo(this);
  sMemo1->setGeometry(0, 13, kClientWidth, kClientHeight - 13);
  sMemo1->setFocus();

  PopupMenu1 = new QMenu(this);
  // The server is off until FormCreate has run; the first tick shows its real state.
  N6 = addItem(ToQString(kRussianCaptions.Off), TImageList::kOffline, &TForm1::N6Click);
  N1 = addItem(ToQString(kRussianCaptions.ShowLog), TImageList::kShowLog, &TForm1::N1Click);
  N2 = addItem(ToQString(kRussianCaptions.ClearLog), TImageList::kClearLog, &TForm1::N2Click);
  N3 = PopupMenu1->addSeparator();
  G1 = addItem(QStringLiteral("Google"), TImageList::kGoogle, &TForm1::G1Click);
  B1 = addItem(QStringLiteral("Bing"), TImageList::kBing, &TForm1::B1Click);
  Y1 = addItem(QStringLiteral("Yandex"), TImageList::kYandex, &TForm1::Y1Click);
  babylon1 = addItem(QStringLiteral("Babylon"), TImageList::kBabylon, &TForm1::babylon1Click);
  P1 = addItem(QStringLiteral("Promt"), TImageList::kPromt, &TForm1::P1Click);
  S1 = addItem(QStringLiteral("SYSTRAN"), TImageList::kSystran, &TForm1::S1Click);
  S1->setVisible(false);
  N4 = PopupMenu1->addSeparator();
  N8 = addItem(ToQString(kRussian), -1, &TForm1::N8Click);
  E1 = addItem(ToQString(kEnglish), -1, &TForm1::E1Click);
  N9 = PopupMenu1->addSeparator();
  N7 = addItem(ToQString(kRussianCaptions.About), -1, &TForm1::N7Click);
  N5 = addItem(ToQString(kRussianCaptions.Exit), -1, &TForm1::N5Click);
  m_engineItems = {G1, B1, Y1, babylon1, P1, S1};
  for (QAction* item : m_engineItems) item->setCheckable(true);
  N8->setCheckable(true);
  E1->setCheckable(true);
  N8->setChecked(true);
  // The default item, drawn bold; a double click on the tray icon performs it.
  PopupMenu1->setDefaultAction(N8);
  QFont bold = N8->font();
  bold.setBold(true);
  N8->setFont(bold);
  showEngineChoice();

  TrayIcon = new TTrayIcon(sAlphaImageList1, *PopupMenu1, *this, this);
  m_placement = new TFramePlacement(*this, [](const QSize& outerSize) -> std::optional<QPoint> {
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary) return std::nullopt;
    return FormShowPosition(primary->geometry(), primary->availableGeometry(), outerSize);
  });

  server::ConfigureIdHTTPServer1(IdHTTPServer1);
  if (m_options.ListenForTesting) {
    net::TIdSocketHandle& binding = IdHTTPServer1.Bindings().Add();
    binding.SetIP(m_options.ListenForTesting->first);
    binding.SetPort(m_options.ListenForTesting->second);
  }
  IdHTTPServer1.OnCommandGet = [this](server::TIdContext& context, server::TIdHTTPRequestInfo& request,
                                      server::TIdHTTPResponseInfo& response) {
    IdHTTPServer1CommandGet(context, request, response);
  };
  IdHTTPServer1.OnRequestRefused = [this](server::TIdContext&, int responseNo, const std::u16string& reason) {
    AddLogLine(u"Request refused: " + reason + u" (" + IntToStr(responseNo) + u")");
  };

  Timer1 = new QTimer(this);
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] { RunHandler([this] { Timer1Timer(); }); });
  Timer1->start();

  RunHandler([this] { FormCreate(); });
  connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { SessionEnding(); });
}

TForm1::~TForm1() {
  RunHandler([this] { FormDestroy(); });
  // The request threads may still be writing the log and reading the Babylon table: both go only after the
  // server has stopped and joined them.
  RunHandler([this] { stopServer(); });
  m_service.reset();
  m_babylon.reset();
  TrayIcon->SetIconVisible(false);
}

QAction* TForm1::addItem(const QString& caption, int imageIndex, void (TForm1::*handler)()) {
  QAction* item = PopupMenu1->addAction(caption);
  if (imageIndex >= 0) item->setIcon(sAlphaImageList1.Icon(imageIndex));
  connect(item, &QAction::triggered, this, [this, handler] { RunHandler([this, handler] { (this->*handler)(); }); });
  return item;
}

void TForm1::FormCreate() {
  SettingsFile = m_options.OpenSettings();
  TCustomIniFile& settings = *SettingsFile;
  // Not a settings file at all: start-up goes on with the defaults, and Exit must not put them in its place.
  m_settingsUnusable = settings.Unusable();
  const bool proxyActive = settings.ReadBool(kGeneral, u"ProxyActive", false);
  std::array<bool, translate::kEngineCount> engineFlags{};
  for (size_t i = 0; i < kEngineKeys.size(); ++i)
    engineFlags[i] = settings.ReadBool(kGeneral, kEngineKeys[i], kEngineDefaults[i]);
  const std::u16string language = settings.ReadString(kSetting, kLanguage, kRussian);

  // A step that fails is reported after the others have run: a taken port must not cost the user the saved
  // engine and language (Exit would write the designed ones over them).
  std::exception_ptr firstError;
  if (!m_settingsUnusable.empty()) {
    firstError = std::make_exception_ptr(Exception(
        m_settingsUnusable + u" The program goes on with the default settings, and Exit leaves the file as it is."));
  }
  auto step = [&firstError](const std::function<void()>& action) {
    try {
      action();
    } catch (...) {
      if (!firstError) firstError = std::current_exception();
    }
  };

  translate::TEngineHosts hosts;
  for (int i = 0; i < translate::kEngineCount; ++i) {
    const std::u16string entry = settings.ReadString(kEngines, kEngineHostKeys[static_cast<size_t>(i)], u"");
    if (!entry.empty()) step([&] { hosts.SetHost(i, entry); });
  }

  // The optional parts of the service, each off while its settings are missing.
  const translate::TSettingsAccess access{
      [&settings](const std::u16string& section, const std::u16string& key, bool defaultValue) {
        return settings.ReadBool(section, key, defaultValue);
      },
      [&settings](const std::u16string& section, const std::u16string& key, const std::u16string& defaultValue) {
        return settings.ReadString(section, key, defaultValue);
      }};
  translate::TServiceExtras extras;
  std::vector<int> configured;
  for (const translate::TOptionalEngine& engine : translate::OptionalEngines()) {
    std::optional<translate::TEngineEndpoint> endpoint;
    step([&] { endpoint = translate::ReadEngineEndpoint(access, engine.Index); });
    if (!endpoint) continue;
    extras.Endpoints.emplace(engine.Index, std::move(*endpoint));
    configured.push_back(engine.Index);
    addOptionalItem(engine, settings.ReadBool(kGeneral, std::u16string(engine.Name), false));
  }
  if (const auto cache = translate::ReadCacheSettings(access, m_options.CacheDatabase, *this)) {
    extras.Cache = std::make_unique<translate::TTranslationCache>(*cache, *this);
  }
  extras.Failover = translate::ReadFailoverSettings(access, configured, *this);
  extras.Protection = translate::ReadProtectSettings(access);

  // The engine choice and the Babylon table are complete before the server can take its first request.
  m_engineChoice.SetCheckedFlags(engineFlags);
  showEngineChoice();
  // The tray shows the engine that the requests go to from the start, not only once one is chosen again.
  const std::vector<translate::TEngineItem> items = m_engineChoice.AllItems();
  const auto chosen =
      std::find_if(items.begin(), items.end(), [](const translate::TEngineItem& item) { return item.Checked; });
  if (chosen != items.end()) TrayIcon->SetIconIndex(enginePicture(static_cast<int>(chosen - items.begin())));
  createService(std::move(hosts), std::move(extras));
  // Opt-in: without it the server listens on every address, as a suite in another machine may need.
  const std::u16string address = settings.ReadString(kServer, u"Address", u"");
  if (!address.empty() && !m_options.ListenForTesting) step([&] { listenOnlyOn(address); });
  if (proxyActive) step([&] { startServer(); });
  step([&] { ApplyLanguage(language); });
  if (firstError) std::rethrow_exception(firstError);
}

void TForm1::createService(translate::TEngineHosts hosts, translate::TServiceExtras extras) {
  m_babylon = std::make_unique<translate::TBabylonTable>();
  extras.Pool = m_upstream.Pool();
  m_service = std::make_unique<translate::TTranslationService>(m_upstream, *this, m_engineChoice, *m_babylon,
                                                               std::move(hosts), std::move(extras));
}

void TForm1::addOptionalItem(const translate::TOptionalEngine& engine, bool checked) {
  m_engineChoice.AddOptionalEngine(engine.Index, checked);
  QAction* item = new QAction(ToQString(std::u16string(engine.Name)), PopupMenu1);
  item->setIcon(sAlphaImageList1.Icon(TImageList::IndexOf(engine.Picture)));
  item->setCheckable(true);
  const int index = engine.Index;
  connect(item, &QAction::triggered, this, [this, index] { RunHandler([this, index] { engineClick(index); }); });
  // After P1 (the hidden S1 between them takes no room) and the optional items added before, in table order.
  PopupMenu1->insertAction(N4, item);
  m_optionalItems[static_cast<size_t>(index - translate::kEngineCount)] = item;
}

QAction* TForm1::EngineItem(int index) const {
  if (index >= 0 && index < translate::kEngineCount) return m_engineItems[static_cast<size_t>(index)];
  if (index >= translate::kEngineCount && index < translate::kAllEngineCount)
    return m_optionalItems[static_cast<size_t>(index - translate::kEngineCount)];
  return nullptr;
}

int TForm1::enginePicture(int index) {
  if (index >= 0 && index < translate::kEngineCount) return kEnginePictures[static_cast<size_t>(index)];
  const translate::TOptionalEngine* engine = translate::FindOptionalEngine(index);
  if (!engine) throw Exception("Engine index out of range (" + std::to_string(index) + ")");
  return TImageList::IndexOf(engine->Picture);
}

void TForm1::listenOnlyOn(const std::u16string& address) {
  net::TIdSocketHandle& binding = IdHTTPServer1.Bindings().Add();
  binding.SetPort(IdHTTPServer1.DefaultPort());
  const bool ipv6 = net::TIdStack::IsIPv6Literal(address);
  if (ipv6) binding.SetIPVersion(net::Id_IPv6);
  binding.SetIP(address);
  // The binding stays all the same: a server asked to keep to one address must not fall back to all of them.
  if (!ipv6 && !net::TIdStack::IsIPv4Literal(address))
    throw Exception(u"[Server] Address=" + address +
                    u" is not an IPv4 or IPv6 address; the server cannot be switched on.");
}

void TForm1::FormDestroy() { SettingsFile.reset(); }

QPoint TForm1::FormShowPosition(const QRect& primaryScreen, const QRect& primaryWorkArea, const QSize& outerSize) {
  const int left = primaryScreen.x() + primaryScreen.width() - outerSize.width();
  const bool bottomPanel = primaryWorkArea.bottom() < primaryScreen.bottom();
  const int taskbarTop = bottomPanel ? primaryWorkArea.bottom() + 1 : 0;
  const int top = taskbarTop != 0 ? taskbarTop - outerSize.height() : taskbarTop + outerSize.height() - 5;
  return {left, top};
}

void TForm1::FormShow() { m_placement->Place(); }

void TForm1::FormCloseQuery(bool& CanClose) {
  CanClose = false;
  TrayIcon->MinimizeToTray();
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) RunHandler([this] { FormShow(); });
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // A minimize through the window manager goes to the tray, as a close does, so that Show log brings the
  // window back placed instead of de-iconifying it wherever it was. Queued: the window system is still
  // delivering the state change.
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (isMinimized() && isVisible()) RunHandler([this] { TrayIcon->MinimizeToTray(); });
        },
        Qt::QueuedConnection);
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  // When the whole application is asked to end (the session ends, the platform quits it) the window closes
  // like any other: a tray program must never keep the user from logging off.
  if (TApplication::Ending()) {
    event->accept();
    return;
  }
  bool canClose = true;
  RunHandler([&] { FormCloseQuery(canClose); });
  if (canClose) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TForm1::ApplyLanguage(const std::u16string& language) {
  const TCaptions* captions = nullptr;
  if (language == kRussian) {
    captions = &kRussianCaptions;
  } else if (language == kEnglish) {
    captions = &kEnglishCaptions;
  } else {
    return;
  }
  OffCaption = captions->Off;
  OnCaption = captions->On;
  sLabel1->setText(ToQString(captions->Label));
  N1->setText(ToQString(captions->ShowLog));
  N2->setText(ToQString(captions->ClearLog));
  N7->setText(ToQString(captions->About));
  N5->setText(ToQString(captions->Exit));
  N8->setChecked(captions == &kRussianCaptions);
  E1->setChecked(captions == &kEnglishCaptions);
}

void TForm1::showEngineChoice() {
  const std::vector<translate::TEngineItem> items = m_engineChoice.AllItems();
  for (size_t i = 0; i < items.size(); ++i) {
    if (QAction* item = EngineItem(static_cast<int>(i))) item->setChecked(items[i].Checked);
  }
}

void TForm1::engineClick(int index) {
  m_engineChoice.SetChecked(index);
  showEngineChoice();
  TrayIcon->SetIconIndex(enginePicture(index));
}

void TForm1::G1Click() { engineClick(translate::kGoogle); }
void TForm1::B1Click() { engineClick(translate::kBing); }
void TForm1::Y1Click() { engineClick(translate::kYandex); }
void TForm1::babylon1Click() { engineClick(translate::kBabylon); }
void TForm1::P1Click() { engineClick(translate::kPromt); }
void TForm1::S1Click() { engineClick(translate::kSystran); }

void TForm1::setN6Picture(int imageIndex) {
  m_n6ImageIndex = imageIndex;
  N6->setIcon(sAlphaImageList1.Icon(imageIndex));
}

void TForm1::stopServer() {
  if (!IdHTTPServer1.Active()) return;
  m_upstream.RunClosed([this] { IdHTTPServer1.SetActive(false); });
}

void TForm1::startServer() {
  try {
    IdHTTPServer1.SetActive(true);
  } catch (const net::EIdCouldNotBindSocket& e) {
    // The bind error names neither the port nor the address.
    net::TIdSocketHandles& bindings = IdHTTPServer1.Bindings();
    const uint16_t port = bindings.Count() > 0 ? bindings[0].Port() : IdHTTPServer1.DefaultPort();
    const std::u16string address = bindings.Count() == 1 ? bindings[0].IP() : std::u16string();
    throw net::EIdCouldNotBindSocket(e.Message() + u"\n" + PortInUseText(address, port));
  }
}

std::u16string TForm1::PortInUseText(const std::u16string& address, uint16_t port) {
  if (address.empty()) return u"Port " + IntToStr(port) + u" is in use by another program.";
  // One address of the user's choosing can also be one this computer does not have.
  return u"Port " + IntToStr(port) + u" on " + address +
         u" is in use by another program, or the address is not one of this computer's.";
}

// The caption set here is the one the timer shows for the previous state; the next tick corrects it.
void TForm1::N6Click() {
  if (IdHTTPServer1.Active()) {
    stopServer();
    N6->setText(ToQString(OnCaption));
    setN6Picture(TImageList::kOffline);
  } else {
    // Only when FormCreate failed before it could build them.
    if (!m_service) createService(translate::TEngineHosts());
    startServer();
    N6->setText(ToQString(OffCaption));
    setN6Picture(TImageList::kOnline);
  }
}

void TForm1::Timer1Timer() {
  if (IdHTTPServer1.Active()) {
    N6->setText(ToQString(OnCaption));
    setN6Picture(TImageList::kOnline);
    ProxyActiveFlag = true;
  } else {
    N6->setText(ToQString(OffCaption));
    setN6Picture(TImageList::kOffline);
    ProxyActiveFlag = false;
  }
}

void TForm1::N1Click() { TrayIcon->ShowMainForm(); }

void TForm1::N2Click() { sMemo1->ClearLog(); }

void TForm1::N8Click() { ApplyLanguage(kRussian); }

void TForm1::E1Click() { ApplyLanguage(kEnglish); }

void TForm1::N7Click() {
  if (Form2) Form2->ShowAbout();
}

void TForm1::N5Click() {
  writeSettings();
  m_options.Terminate();
}

void TForm1::SessionEnding() {
  // A box here would hold the session up; the log (and --log) gets the failure instead.
  try {
    writeSettings();
  } catch (const Exception& e) {
    AddLogLine(e.Message());
  } catch (const std::exception& e) {
    AddLogLine(FromUtf8(e.what()));
  }
}

void TForm1::writeSettings() {
  // Reported at start-up already; the user's file stays as it is.
  if (!m_settingsUnusable.empty()) {
    AddLogLine(u"Settings not saved: " + m_settingsUnusable);
    return;
  }
  TCustomIniFile& settings = *SettingsFile;
  settings.WriteBool(kGeneral, u"ProxyActive", ProxyActiveFlag);
  const std::vector<translate::TEngineItem> items = m_engineChoice.AllItems();
  for (size_t i = 0; i < kEngineKeys.size(); ++i) settings.WriteBool(kGeneral, kEngineKeys[i], items[i].Checked);
  // Only a configured optional engine has a saved check mark.
  for (const translate::TOptionalEngine& engine : translate::OptionalEngines()) {
    if (m_engineChoice.HasEngine(engine.Index))
      settings.WriteBool(kGeneral, std::u16string(engine.Name), items[static_cast<size_t>(engine.Index)].Checked);
  }
  if (N8->isChecked()) {
    settings.WriteString(kSetting, kLanguage, kRussian);
  } else if (E1->isChecked()) {
    settings.WriteString(kSetting, kLanguage, kEnglish);
  }
}

void TForm1::AddLogLine(const std::u16string& line) {
  sMemo1->AddLogLine(line);
  if (m_options.EchoLogLine) m_options.EchoLogLine(line);
}

void TForm1::IdHTTPServer1CommandGet(server::TIdContext&, server::TIdHTTPRequestInfo& ARequestInfo,
                                     server::TIdHTTPResponseInfo& AResponseInfo) {
  m_service->IdHTTPServer1CommandGet(ARequestInfo, AResponseInfo);
}

std::u16string TForm1::translateget(const std::u16string& text, const std::u16string& langs_out,
                                    const std::u16string& langs_in, int servises, const std::u16string& Coder) {
  return m_service->translateget(text, langs_out, langs_in, servises, Coder);
}

uint16_t TForm1::ListeningPort() {
  return IdHTTPServer1.Bindings().Count() > 0 ? IdHTTPServer1.Bindings()[0].Port() : 0;
}

}  // namespace tessarine::ui
