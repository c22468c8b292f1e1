#include "translate/engine_endpoint.h"

#include <algorithm>

#include "common/exception.h"
#include "common/text.h"
#include "translate/engine_hosts.h"

namespace tessarine::translate {

namespace {

// A path of printable ASCII without a query or fragment: it goes on the request line as written.
bool IsUsablePath(std::u16string_view path) {
  return std::all_of(path.begin(), path.end(),
                     [](char16_t c) { return c > u' ' && c < 0x7F && c != u'?' && c != u'#' && c != u'\\'; });
}

}  // namespace

TEngineEndpoint TEngineEndpoint::Parse(std::u16string_view entry, std::u16string_view apiKey, uint16_t defaultPort,
                                       TEndpointForm form) {
  TEngineEndpoint endpoint;
  endpoint.Https = form.HttpsByDefault;
  std::u16string_view rest = entry;
  const auto startsWith = [&](std::u16string_view prefix) {
    return rest.size() > prefix.size() && SameTextAscii(rest.substr(0, prefix.size()), prefix);
  };
  if (startsWith(u"https://")) {
    endpoint.Https = true;
    rest.remove_prefix(8);
  } else if (startsWith(u"http://")) {
    endpoint.Https = false;
    rest.remove_prefix(7);
  }
  const auto invalid = [&] { return Exception(u"Invalid engine host: " + std::u16string(entry)); };
  if (form.TakesPath) {
    const size_t slash = rest.find(u'/');
    if (slash != std::u16string_view::npos) {
      std::u16string_view path = rest.substr(slash);
      while (!path.empty() && path.back() == u'/') path.remove_suffix(1);
      if (!IsUsablePath(path)) throw invalid();
      endpoint.Path = std::u16string(path);
      rest = rest.substr(0, slash);
    }
  } else if (!rest.empty() && rest.back() == u'/') {
    rest.remove_suffix(1);
  }
  if (!TEngineHosts::IsValidEntry(rest)) throw invalid();
  endpoint.Host = std::u16string(rest);
  // A valid entry has a colon after the host only when it names a port (an IPv6 address is bracketed).
  const size_t hostEnd = rest.front() == u'[' ? rest.find(u']') : 0;
  if (defaultPort != 0 && rest.find(u':', hostEnd) == std::u16string_view::npos)
    endpoint.Host += u":" + IntToStr(defaultPort);
  endpoint.ApiKey = std::u16string(apiKey);
  return endpoint;
}

std::u16string TEngineEndpoint::Origin() const { return (Https ? u"https://" : u"http://") + Host; }

std::u16string TEngineEndpoint::Setting(std::u16string_view name) const {
  for (const auto& [key, value] : Settings) {
    if (key == name) return value;
  }
  return {};
}

}  // namespace tessarine::translate
