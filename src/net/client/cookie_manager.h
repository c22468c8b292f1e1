#pragma once

namespace tessarine::client {

// Placeholder until the cookie store lands.
class TIdCookieManager {};

}  // namespace tessarine::client
