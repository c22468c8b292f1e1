#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessarine::translate {

// How an engine's [Engines] host entry is read.
struct TEndpointForm {
  // A host given without a scheme is reached over https (an online service), not over plain http.
  bool HttpsByDefault = false;
  // The entry is a base URL whose path comes before the engine's own paths ("http://localhost:11434/v1").
  bool TakesPath = false;
};

// Where an engine that exists only when configured is reached, from its [Engines] settings.
struct TEngineEndpoint {
  // "host:port" (or "host" for the scheme's port), as the other engines' hosts.
  std::u16string Host;
  bool Https = false;
  // The base path of an entry that takes one, without a final "/"; else empty.
  std::u16string Path;
  // Sent with every request when not empty, by engines that take one.
  std::u16string ApiKey;
  // The engine's further [Engines] settings that are set (a region, a folder, a model): name and value.
  std::vector<std::pair<std::u16string, std::u16string>> Settings;

  // Reads "host" or "host:port", optionally after "http://" or "https://" (a server behind a TLS load balancer)
  // and before one "/", or for a form that takes a path before the path. A host without a port gets defaultPort
  // when that is not 0. Raises tessarine::Exception "Invalid engine host: ..." for anything else.
  static TEngineEndpoint Parse(std::u16string_view entry, std::u16string_view apiKey, uint16_t defaultPort = 0,
                               TEndpointForm form = {});

  // "http://host:port" or "https://host:port", to which the engine's paths are added.
  std::u16string Origin() const;
  // The origin and the base path.
  std::u16string Base() const { return Origin() + Path; }
  // The value of that further setting, or empty.
  std::u16string Setting(std::u16string_view name) const;
};

}  // namespace tessarine::translate
