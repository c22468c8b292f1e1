#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "translate/engine_endpoint.h"
#include "translate/engine_failover.h"
#include "translate/optional_engines.h"
#include "translate/protected_text.h"
#include "translate/service_interfaces.h"
#include "translate/translation_cache.h"

// The optional settings of the translation service: [Cache], [Failover], [Protect] and the engines that exist only when
// [Engines] names where they are reached. Each is off while its keys are missing.
namespace tessarine::translate {

// Reads of the settings file, with its own rules for booleans.
struct TSettingsAccess {
  std::function<bool(const std::u16string& section, const std::u16string& key, bool defaultValue)> ReadBool;
  std::function<std::u16string(const std::u16string& section, const std::u16string& key,
                               const std::u16string& defaultValue)>
      ReadString;
};

// Where the optional engine of that index is reached: [Engines] <its name>= (or its default host), its key's
// name= when it takes a key, and its further settings. Nothing for an engine whose key (for one that needs a key),
// host (for one without a default host) or required setting is missing, or for an index that is no optional
// engine. Raises "Invalid engine host: ..." for a host that cannot be used, and as ReadEngineKey.
std::optional<TEngineEndpoint> ReadEngineEndpoint(const TSettingsAccess& settings, int engine);
std::optional<TEngineEndpoint> ReadEngineEndpoint(const TSettingsAccess& settings, const TOptionalEngine& engine);

// The value of an environment variable, or nothing when it is not set.
std::optional<std::string> ProcessEnvironment(const std::string& name);

// [Engines] keyName=, trimmed; "env:NAME" stands for the value of the environment variable NAME. Raises
// tessarine::Exception when that variable is not set or is empty, and for a key with a control character; the
// messages name the setting and the variable, never the key.
std::u16string ReadEngineKey(
    const TSettingsAccess& settings, std::u16string_view keyName,
    const std::function<std::optional<std::string>(const std::string&)>& environment = ProcessEnvironment);

// [Cache] Enabled=1, MaxEntries, MaxAgeDays, Persist=1 (the database at databasePath). A number that is not
// positive gives the default and one log line.
std::optional<TCacheSettings> ReadCacheSettings(const TSettingsAccess& settings, const std::string& databasePath,
                                                ILogSink& log);

// [Failover] Enabled=1, Order (engine names separated by commas or blanks; unknown ones, and optional engines
// not among the configured ones, are logged and skipped), MaxTries.
std::optional<TFailoverSettings> ReadFailoverSettings(const TSettingsAccess& settings,
                                                      const std::vector<int>& configured, ILogSink& log);

// [Protect] Enabled=1 and Terms (separated by ";").
std::optional<TProtectSettings> ReadProtectSettings(const TSettingsAccess& settings);

// The engines the menu shows, in menu order: all but SYSTRAN, then the configured optional engines.
std::vector<int> VisibleEngines(const std::vector<int>& configured);

// A decimal number from 1 to 2147483647, blanks around it allowed.
std::optional<int> ParsePositive(std::u16string_view text);

}  // namespace tessarine::translate
