#include "net/client/meta_charset.h"

namespace tessarine::client {

std::u16string ParseMetaHTTPEquiv(const uint8_t*, size_t, net::TIdHeaderList&) { return {}; }
std::u16string XmlCharSet(const uint8_t*, size_t) { return u"UTF-8"; }

}  // namespace tessarine::client
