#pragma once

#include <array>
#include <string>
#include <string_view>

#include "translate/service_interfaces.h"

namespace tessarine::translate {

// Where each engine is reached: "host" or "host:port", put after "scheme://" as it stands. The
// service is given one table at construction and never changes it.
class TEngineHosts {
 public:
  // The services' public hosts.
  TEngineHosts();

  // Raises tessarine::Exception for an index outside 0 to 5.
  const std::u16string& Host(int index) const;
  // Raises tessarine::Exception "Invalid engine host: ..." for an entry IsValidEntry rejects.
  void SetHost(int index, std::u16string_view entry);

  // An ASCII host name, IPv4 address or bracketed IPv6 address, optionally followed by ":" and a
  // decimal port 1 to 65535. Rejects empty entries, spaces, schemes, paths and bad ports.
  static bool IsValidEntry(std::u16string_view entry);

 private:
  std::array<std::u16string, kEngineCount> m_hosts;
};

}  // namespace tessarine::translate
