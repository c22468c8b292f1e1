#include "shell/proxy_core.h"

#include <algorithm>
#include <exception>

#include "common/exception.h"
#include "common/text.h"
#include "net/exceptions.h"
#include "net/socket_stack.h"
#include "net/uri.h"
#include "shell/error_box.h"
#include "translate/service_settings.h"

namespace tessarine::shell {

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
// The picture each engine item shows, in the menu and in the tray while it is chosen.
constexpr std::array<const char*, translate::kEngineCount> kEnginePictures{"googletr", "bingicon",    "yandextr",
                                                                           "babylon",  "promtonlain", "systanet"};
// The on/off item's pictures.
constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";

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

TProxyCore::TProxyCore(IDesktopShell& shell, TProxyCoreOptions options)
    : m_shell(shell),
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
          m_options.UpstreamForTesting ? nullptr : &m_pool),
      m_logCaption(kRussianCaptions.Label),
      // The tray shows the list's first picture until FormCreate knows the engine.
      m_trayPicture(kEnginePictures[translate::kGoogle]) {
  if (!m_options.OpenSettings) throw Exception("The core needs a settings file");

  // The server is off until FormCreate has run; the first tick shows its real state.
  N6 = addItem("N6", kRussianCaptions.Off, kOffline, &TProxyCore::N6Click);
  N1 = addItem("N1", kRussianCaptions.ShowLog, "file_temporary_4559", &TProxyCore::N1Click);
  N2 = addItem("N2", kRussianCaptions.ClearLog, "delete_64", &TProxyCore::N2Click);
  N3 = &PopupMenu1.AddLine("N3");
  G1 = addItem("G1", u"Google", kEnginePictures[translate::kGoogle], &TProxyCore::G1Click);
  B1 = addItem("B1", u"Bing", kEnginePictures[translate::kBing], &TProxyCore::B1Click);
  Y1 = addItem("Y1", u"Yandex", kEnginePictures[translate::kYandex], &TProxyCore::Y1Click);
  babylon1 = addItem("babylon1", u"Babylon", kEnginePictures[translate::kBabylon], &TProxyCore::babylon1Click);
  P1 = addItem("P1", u"Promt", kEnginePictures[translate::kPromt], &TProxyCore::P1Click);
  S1 = addItem("S1", u"SYSTRAN", kEnginePictures[translate::kSystran], &TProxyCore::S1Click);
  S1->SetVisible(false);
  N4 = &PopupMenu1.AddLine("N4");
  N8 = addItem("N8", kRussian, {}, &TProxyCore::N8Click);
  E1 = addItem("E1", kEnglish, {}, &TProxyCore::E1Click);
  N9 = &PopupMenu1.AddLine("N9");
  N7 = addItem("N7", kRussianCaptions.About, {}, &TProxyCore::N7Click);
  N5 = addItem("N5", kRussianCaptions.Exit, {}, &TProxyCore::N5Click);
  m_engineItems = {G1, B1, Y1, babylon1, P1, S1};
  for (TMenuItem* item : m_engineItems) item->SetCheckable(true);
  N8->SetCheckable(true);
  E1->SetCheckable(true);
  N8->SetChecked(true);
  N8->SetDefault(true);
  showEngineChoice();

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
}

TProxyCore::~TProxyCore() {
  RunHandler([this] { FormDestroy(); });
  // The request threads may still be writing the log and reading the Babylon table: both go only after the
  // server has stopped and joined them.
  RunHandler([this] { stopServer(); });
  m_service.reset();
  m_babylon.reset();
}

void TProxyCore::Created() {
  RunHandler([this] { FormCreate(); });
}

TMenuItem* TProxyCore::addItem(const std::string& name, const std::u16string& caption, const std::string& picture,
                               void (TProxyCore::*handler)()) {
  TMenuItem& item = PopupMenu1.Add(name, caption, picture);
  item.OnClick = [this, handler] { (this->*handler)(); };
  return &item;
}

void TProxyCore::FormCreate() {
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
    // Said once now rather than only in every request's failure, as the user reads the log on starting.
    if (!endpoint->ApiKey.empty() && !endpoint->Https &&
        !net::TIdStack::IsLoopbackHost(net::TIdURI(endpoint->Origin()).Host)) {
      const std::u16string name(engine.Name);
      AddLogLine(name + u": its key is not sent over plain http to " + endpoint->Host + u"; every request to it fails" +
                 u" until [Engines] " + name + u" names the server with https://");
    }
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
  if (chosen != items.end()) setTrayPicture(enginePicture(static_cast<int>(chosen - items.begin())));
  createService(std::move(hosts), std::move(extras));
  // Opt-in: without it the server listens on every address, as a suite in another machine may need.
  const std::u16string address = settings.ReadString(kServer, u"Address", u"");
  if (!address.empty() && !m_options.ListenForTesting) step([&] { listenOnlyOn(address); });
  if (proxyActive) step([&] { startServer(); });
  step([&] { ApplyLanguage(language); });
  if (firstError) std::rethrow_exception(firstError);
}

void TProxyCore::createService(translate::TEngineHosts hosts, translate::TServiceExtras extras) {
  m_babylon = std::make_unique<translate::TBabylonTable>();
  extras.Pool = m_upstream.Pool();
  m_service = std::make_unique<translate::TTranslationService>(m_upstream, *this, m_engineChoice, *m_babylon,
                                                               std::move(hosts), std::move(extras));
}

void TProxyCore::addOptionalItem(const translate::TOptionalEngine& engine, bool checked) {
  m_engineChoice.AddOptionalEngine(engine.Index, checked);
  const std::u16string name(engine.Name);
  // After P1 (the hidden S1 between them takes no room) and the optional items added before, in table order.
  TMenuItem& item = PopupMenu1.Insert(*N4, ToUtf8(name), name, std::string(engine.Picture));
  item.SetCheckable(true);
  const int index = engine.Index;
  item.OnClick = [this, index] { engineClick(index); };
  m_optionalItems[static_cast<size_t>(index - translate::kEngineCount)] = &item;
}

TMenuItem* TProxyCore::EngineItem(int index) const {
  if (index >= 0 && index < translate::kEngineCount) return m_engineItems[static_cast<size_t>(index)];
  if (index >= translate::kEngineCount && index < translate::kAllEngineCount)
    return m_optionalItems[static_cast<size_t>(index - translate::kEngineCount)];
  return nullptr;
}

std::string TProxyCore::enginePicture(int index) {
  if (index >= 0 && index < translate::kEngineCount) return kEnginePictures[static_cast<size_t>(index)];
  const translate::TOptionalEngine* engine = translate::FindOptionalEngine(index);
  if (!engine) throw Exception("Engine index out of range (" + std::to_string(index) + ")");
  return std::string(engine->Picture);
}

void TProxyCore::setTrayPicture(const std::string& picture) {
  m_trayPicture = picture;
  m_shell.SetTrayPicture(picture);
}

void TProxyCore::listenOnlyOn(const std::u16string& address) {
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

void TProxyCore::FormDestroy() { SettingsFile.reset(); }

void TProxyCore::FormCloseQuery(bool& CanClose) {
  CanClose = false;
  m_shell.MinimizeToTray();
}

void TProxyCore::ApplyLanguage(const std::u16string& language) {
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
  m_logCaption = captions->Label;
  m_shell.SetLogCaption(m_logCaption);
  N1->SetCaption(captions->ShowLog);
  N2->SetCaption(captions->ClearLog);
  N7->SetCaption(captions->About);
  N5->SetCaption(captions->Exit);
  N8->SetChecked(captions == &kRussianCaptions);
  E1->SetChecked(captions == &kEnglishCaptions);
}

void TProxyCore::showEngineChoice() {
  const std::vector<translate::TEngineItem> items = m_engineChoice.AllItems();
  for (size_t i = 0; i < items.size(); ++i) {
    if (TMenuItem* item = EngineItem(static_cast<int>(i))) item->SetChecked(items[i].Checked);
  }
}

void TProxyCore::engineClick(int index) {
  m_engineChoice.SetChecked(index);
  showEngineChoice();
  setTrayPicture(enginePicture(index));
}

void TProxyCore::G1Click() { engineClick(translate::kGoogle); }
void TProxyCore::B1Click() { engineClick(translate::kBing); }
void TProxyCore::Y1Click() { engineClick(translate::kYandex); }
void TProxyCore::babylon1Click() { engineClick(translate::kBabylon); }
void TProxyCore::P1Click() { engineClick(translate::kPromt); }
void TProxyCore::S1Click() { engineClick(translate::kSystran); }

void TProxyCore::stopServer() {
  if (!IdHTTPServer1.Active()) return;
  m_upstream.RunClosed([this] { IdHTTPServer1.SetActive(false); });
}

void TProxyCore::startServer() {
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

std::u16string TProxyCore::PortInUseText(const std::u16string& address, uint16_t port) {
  if (address.empty()) return u"Port " + IntToStr(port) + u" is in use by another program.";
  // One address of the user's choosing can also be one this computer does not have.
  return u"Port " + IntToStr(port) + u" on " + address +
         u" is in use by another program, or the address is not one of this computer's.";
}

// The caption set here is the one the timer shows for the previous state; the next tick corrects it.
void TProxyCore::N6Click() {
  if (IdHTTPServer1.Active()) {
    stopServer();
    N6->SetCaption(OnCaption);
    N6->SetPicture(kOffline);
  } else {
    // Only when FormCreate failed before it could build them.
    if (!m_service) createService(translate::TEngineHosts());
    startServer();
    N6->SetCaption(OffCaption);
    N6->SetPicture(kOnline);
  }
}

void TProxyCore::Timer1Timer() {
  if (IdHTTPServer1.Active()) {
    N6->SetCaption(OnCaption);
    N6->SetPicture(kOnline);
    ProxyActiveFlag = true;
  } else {
    N6->SetCaption(OffCaption);
    N6->SetPicture(kOffline);
    ProxyActiveFlag = false;
  }
}

void TProxyCore::HandleIconMessage(TIconMessage message) {
  switch (message) {
    case TIconMessage::ContextMenu:
      m_shell.PopupAtCursor();
      break;
    case TIconMessage::DoubleClick:
      if (TMenuItem* item = PopupMenu1.DefaultItem()) item->Click();
      break;
    case TIconMessage::Click:
    case TIconMessage::MiddleClick:
      break;
  }
}

void TProxyCore::N1Click() { m_shell.ShowMainForm(); }

void TProxyCore::N2Click() {
  m_logLines.TakeAll();
  m_shell.ClearLog();
}

void TProxyCore::N8Click() { ApplyLanguage(kRussian); }

void TProxyCore::E1Click() { ApplyLanguage(kEnglish); }

void TProxyCore::N7Click() { m_shell.ShowAbout(); }

void TProxyCore::N5Click() {
  writeSettings();
  m_shell.Terminate();
}

void TProxyCore::SessionEnding() {
  // A box here would hold the session up; the log (and --log) gets the failure instead.
  try {
    writeSettings();
  } catch (...) {
    AddLogLine(CurrentExceptionMessage());
  }
}

void TProxyCore::writeSettings() {
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
  if (N8->Checked()) {
    settings.WriteString(kSetting, kLanguage, kRussian);
  } else if (E1->Checked()) {
    settings.WriteString(kSetting, kLanguage, kEnglish);
  }
}

void TProxyCore::AddLogLine(const std::u16string& line) {
  m_logLines.Push(line);
  if (m_options.EchoLogLine) m_options.EchoLogLine(line);
}

void TProxyCore::IdHTTPServer1CommandGet(server::TIdContext&, server::TIdHTTPRequestInfo& ARequestInfo,
                                         server::TIdHTTPResponseInfo& AResponseInfo) {
  m_service->IdHTTPServer1CommandGet(ARequestInfo, AResponseInfo);
}

std::u16string TProxyCore::translateget(const std::u16string& text, const std::u16string& langs_out,
                                        const std::u16string& langs_in, int servises, const std::u16string& Coder) {
  return m_service->translateget(text, langs_out, langs_in, servises, Coder);
}

uint16_t TProxyCore::ListeningPort() {
  return IdHTTPServer1.Bindings().Count() > 0 ? IdHTTPServer1.Bindings()[0].Port() : 0;
}

}  // namespace tessarine::shell
