#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/header_list.h"

namespace tessarine::client {

// Scans an HTML body (each byte read as the character of the same number) for META tags. Appends one
// "Name: value" line per META HTTP-EQUIV tag to `lines`; returns the value of a META charset attribute
// (empty when there is none; the last one wins).
std::u16string ParseMetaHTTPEquiv(const uint8_t* data, size_t size, net::TIdHeaderList& lines);

// The charset an XML body declares: byte-order mark first, then the "<?xml ... encoding=" declaration in its
// eight forms; "UTF-8" by default; empty for a byte-order mark that names no charset.
std::u16string XmlCharSet(const uint8_t* data, size_t size);

}  // namespace tessarine::client
