#pragma once

namespace tessarine::net {

// Address family of a socket handle or a parsed URL.
enum class TIdIPVersion { Id_IPv4, Id_IPv6 };

inline constexpr TIdIPVersion Id_IPv4 = TIdIPVersion::Id_IPv4;
inline constexpr TIdIPVersion Id_IPv6 = TIdIPVersion::Id_IPv6;

}  // namespace tessarine::net
