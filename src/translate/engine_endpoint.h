#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessarine::translate {

// Where an engine that exists only when configured is reached, from its [Engines] settings.
struct TEngineEndpoint {
  // "host:port" (or "host" for the scheme's port), as the other engines' hosts.
  std::u16string Host;
  bool Https = false;
  // Sent with every request when not empty, by engines that take one.
  std::u16string ApiKey;

  // Reads "host" or "host:port", optionally after "http://" or "https://" (a server behind a TLS load balancer)
  // and before one "/". A host without a port gets defaultPort when that is not 0. Raises tessarine::Exception
  // "Invalid engine host: ..." for anything else.
  static TEngineEndpoint Parse(std::u16string_view entry, std::u16string_view apiKey, uint16_t defaultPort = 0);

  // "http://host:port" or "https://host:port", to which the engine's paths are added.
  std::u16string Origin() const;
};

}  // namespace tessarine::translate
