#include "translate/engine_endpoint.h"

#include "common/exception.h"
#include "common/text.h"
#include "translate/engine_hosts.h"

namespace tessarine::translate {

TEngineEndpoint TEngineEndpoint::Parse(std::u16string_view entry, std::u16string_view apiKey, uint16_t defaultPort) {
  TEngineEndpoint endpoint;
  std::u16string_view rest = entry;
  const auto startsWith = [&](std::u16string_view prefix) {
    return rest.size() > prefix.size() && SameTextAscii(rest.substr(0, prefix.size()), prefix);
  };
  if (startsWith(u"https://")) {
    endpoint.Https = true;
    rest.remove_prefix(8);
  } else if (startsWith(u"http://")) {
    rest.remove_prefix(7);
  }
  if (!rest.empty() && rest.back() == u'/') rest.remove_suffix(1);
  if (!TEngineHosts::IsValidEntry(rest)) throw Exception(u"Invalid engine host: " + std::u16string(entry));
  endpoint.Host = std::u16string(rest);
  // A valid entry has a colon after the host only when it names a port (an IPv6 address is bracketed).
  const size_t hostEnd = rest.front() == u'[' ? rest.find(u']') : 0;
  if (defaultPort != 0 && rest.find(u':', hostEnd) == std::u16string_view::npos)
    endpoint.Host += u":" + IntToStr(defaultPort);
  endpoint.ApiKey = std::u16string(apiKey);
  return endpoint;
}

std::u16string TEngineEndpoint::Origin() const { return (Https ? u"https://" : u"http://") + Host; }

}  // namespace tessarine::translate
