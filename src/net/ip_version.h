#pragma once

#include <cstdint>

namespace tessarine::net {

// The address family of a socket or a URL host.
enum TIdIPVersion : uint8_t { Id_IPv4, Id_IPv6 };

}  // namespace tessarine::net
