#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "translate/engine_endpoint.h"
#include "translate/engine_failover.h"
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

// Where the optional engine of that index is reached: [Engines] <its name>= (and its key's name= when it takes
// a key); nothing without a host, or for an index that is no optional engine. Raises "Invalid engine host: ..."
// for a host that cannot be used.
std::optional<TEngineEndpoint> ReadEngineEndpoint(const TSettingsAccess& settings, int engine);

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
