#pragma once

#include <string_view>

#include "common/string_list.h"
#include "net/header_list.h"
#include "net/uri.h"

namespace tessarine::client {

// Placeholder until the cookie store lands.
class TIdCookieManager {
 public:
  void AddServerCookies(const TStringList&, const net::TIdURI&) {}
  void GenerateClientCookies(const net::TIdURI&, bool, net::TIdHeaderList&) {}
  int Count() const { return 0; }
};

}  // namespace tessarine::client
