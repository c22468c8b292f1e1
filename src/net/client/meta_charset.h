#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/header_list.h"

namespace tessarine::client {

// Placeholder until the charset rules land.
std::u16string ParseMetaHTTPEquiv(const uint8_t* data, size_t size, net::TIdHeaderList& lines);
std::u16string XmlCharSet(const uint8_t* data, size_t size);

}  // namespace tessarine::client
