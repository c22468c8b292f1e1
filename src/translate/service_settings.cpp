#include "translate/service_settings.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "common/exception.h"
#include "common/text.h"
#include "translate/engine_choice.h"
#include "translate/optional_engines.h"

namespace tessarine::translate {

namespace {

const std::u16string kEngines = u"Engines";
const std::u16string kCache = u"Cache";
const std::u16string kFailover = u"Failover";
const std::u16string kProtect = u"Protect";

int ReadPositive(const TSettingsAccess& settings, const std::u16string& section, const std::u16string& key,
                 int defaultValue, ILogSink& log) {
  const std::u16string text = settings.ReadString(section, key, u"");
  if (Trim(text).empty()) return defaultValue;
  if (const auto value = ParsePositive(text)) return *value;
  log.AddLogLine(section + u": " + key + u"=" + text + u" is not a positive number; " + IntToStr(defaultValue) +
                 u" is used");
  return defaultValue;
}

}  // namespace

std::optional<int> ParsePositive(std::u16string_view text) {
  text = Trim(text);
  if (text.empty()) return std::nullopt;
  long long value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
    if (value > INT_MAX) return std::nullopt;
  }
  if (value < 1) return std::nullopt;
  return static_cast<int>(value);
}

std::optional<TEngineEndpoint> ReadEngineEndpoint(const TSettingsAccess& settings, int engine) {
  const TOptionalEngine* optional = FindOptionalEngine(engine);
  if (!optional) return std::nullopt;
  return ReadEngineEndpoint(settings, *optional);
}

std::optional<TEngineEndpoint> ReadEngineEndpoint(const TSettingsAccess& settings, const TOptionalEngine& engine) {
  const std::u16string host(Trim(settings.ReadString(kEngines, std::u16string(engine.Name), u"")));
  std::u16string key;
  if (engine.NeedsKey) {
    key = ReadEngineKey(settings, engine.KeyName);
    if (key.empty()) return std::nullopt;
  } else {
    if (host.empty() && !engine.DefaultHost) return std::nullopt;
    if (!engine.KeyName.empty()) key = ReadEngineKey(settings, engine.KeyName);
  }
  std::vector<std::pair<std::u16string, std::u16string>> values;
  for (const TEngineSetting& setting : engine.Settings) {
    const std::u16string value(Trim(settings.ReadString(kEngines, std::u16string(setting.Name), u"")));
    if (value.empty() && setting.Required) return std::nullopt;
    if (!value.empty()) values.emplace_back(setting.Name, value);
  }
  const std::u16string entry = !host.empty() || !engine.DefaultHost ? host : engine.DefaultHost(key);
  if (entry.empty()) return std::nullopt;
  TEngineEndpoint endpoint = TEngineEndpoint::Parse(entry, key, engine.DefaultPort, engine.Form);
  endpoint.Settings = std::move(values);
  return endpoint;
}

std::u16string ReadEngineKey(const TSettingsAccess& settings, std::u16string_view keyName,
                             const std::function<std::optional<std::string>(const std::string&)>& environment) {
  const std::u16string name(keyName);
  std::u16string key(Trim(settings.ReadString(kEngines, name, u"")));
  if (key.size() > 4 && SameTextAscii(std::u16string_view(key).substr(0, 4), u"env:")) {
    const std::u16string variable(Trim(std::u16string_view(key).substr(4)));
    const std::optional<std::string> value = environment(ToUtf8(variable));
    if (!value || Trim(FromUtf8(*value)).empty()) {
      throw Exception(u"[Engines] " + name + u" names the environment variable " + variable + u", which is not set");
    }
    key = std::u16string(Trim(FromUtf8(*value)));
  }
  // It may go out in a header line, which a line break (an environment variable can hold one) would end early and
  // let the rest pass for headers of its own. The message never repeats it.
  if (std::any_of(key.begin(), key.end(), [](char16_t c) { return c < u' ' || c == 0x7F; }))
    throw Exception(u"[Engines] " + name + u" holds a control character; no key does");
  return key;
}

std::optional<std::string> ProcessEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<TCacheSettings> ReadCacheSettings(const TSettingsAccess& settings, const std::string& databasePath,
                                                ILogSink& log) {
  if (!settings.ReadBool(kCache, u"Enabled", false)) return std::nullopt;
  TCacheSettings cache;
  cache.MaxEntries = ReadPositive(settings, kCache, u"MaxEntries", TCacheSettings::kDefaultMaxEntries, log);
  cache.MaxAgeDays = ReadPositive(settings, kCache, u"MaxAgeDays", TCacheSettings::kDefaultMaxAgeDays, log);
  if (settings.ReadBool(kCache, u"Persist", false)) cache.DatabasePath = databasePath;
  return cache;
}

std::optional<TFailoverSettings> ReadFailoverSettings(const TSettingsAccess& settings,
                                                      const std::vector<int>& configured, ILogSink& log) {
  if (!settings.ReadBool(kFailover, u"Enabled", false)) return std::nullopt;
  TFailoverSettings failover;
  failover.MaxTries = ReadPositive(settings, kFailover, u"MaxTries", TFailoverSettings::kDefaultMaxTries, log);
  const std::u16string order = settings.ReadString(kFailover, u"Order", u"");
  if (Trim(order).empty()) {
    failover.Order = VisibleEngines(configured);
    return failover;
  }
  size_t from = 0;
  while (from < order.size()) {
    size_t end = from;
    while (end < order.size() && order[end] != u',' && order[end] > u' ') ++end;
    const std::u16string_view name = std::u16string_view(order).substr(from, end - from);
    from = end + 1;
    if (name.empty()) continue;
    const std::optional<int> engine = EngineIndexByName(name);
    if (!engine ||
        (FindOptionalEngine(*engine) && std::find(configured.begin(), configured.end(), *engine) == configured.end())) {
      log.AddLogLine(u"Failover: unknown engine \"" + std::u16string(name) + u"\" in Order is skipped");
      continue;
    }
    failover.Order.push_back(*engine);
  }
  return failover;
}

std::optional<TProtectSettings> ReadProtectSettings(const TSettingsAccess& settings) {
  if (!settings.ReadBool(kProtect, u"Enabled", false)) return std::nullopt;
  return TProtectSettings::FromTerms(settings.ReadString(kProtect, u"Terms", u""));
}

std::vector<int> VisibleEngines(const std::vector<int>& configured) {
  std::vector<int> engines{kGoogle, kBing, kYandex, kBabylon, kPromt};
  for (const TOptionalEngine& optional : OptionalEngines()) {
    if (std::find(configured.begin(), configured.end(), optional.Index) != configured.end())
      engines.push_back(optional.Index);
  }
  return engines;
}

}  // namespace tessarine::translate
