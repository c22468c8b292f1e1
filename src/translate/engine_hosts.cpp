#include "translate/engine_hosts.h"

#include "common/exception.h"
#include "common/text.h"

namespace tessarine::translate {

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsAlnum(char16_t c) { return IsDigit(c) || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool IsValidPort(std::u16string_view port) {
  if (port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  for (char16_t c : port) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - u'0');
  }
  return value >= 1 && value <= 65535;
}

// Dot-separated labels of letters, digits, "-" and "_"; a label neither empty nor starting or ending
// with "-".
bool IsValidHostName(std::u16string_view host) {
  if (host.empty()) return false;
  size_t from = 0;
  while (true) {
    const size_t dot = host.find(u'.', from);
    const std::u16string_view label = host.substr(from, dot == std::u16string_view::npos ? host.npos : dot - from);
    if (label.empty() || label.front() == u'-' || label.back() == u'-') return false;
    for (char16_t c : label) {
      if (!IsAlnum(c) && c != u'-' && c != u'_') return false;
    }
    if (dot == std::u16string_view::npos) return true;
    from = dot + 1;
  }
}

bool IsValidIpv6Literal(std::u16string_view address) {
  if (address.find(u':') == std::u16string_view::npos) return false;
  for (char16_t c : address) {
    if (HexDigitValue(c) < 0 && c != u':' && c != u'.') return false;
  }
  return true;
}

}  // namespace

TEngineHosts::TEngineHosts()
    : m_hosts{u"clients5.google.com",       u"api.microsofttranslator.com",
              u"translate.yandex.net",      u"translation.babylon-software.com",
              u"www.online-translator.com", u"www.systranet.com"} {}

const std::u16string& TEngineHosts::Host(int index) const {
  if (index < 0 || index >= kEngineCount) throw Exception("Engine index out of range (" + std::to_string(index) + ")");
  return m_hosts[static_cast<size_t>(index)];
}

void TEngineHosts::SetHost(int index, std::u16string_view entry) {
  if (index < 0 || index >= kEngineCount) throw Exception("Engine index out of range (" + std::to_string(index) + ")");
  if (!IsValidEntry(entry)) throw Exception(u"Invalid engine host: " + std::u16string(entry));
  m_hosts[static_cast<size_t>(index)] = std::u16string(entry);
}

bool TEngineHosts::IsValidEntry(std::u16string_view entry) {
  std::u16string_view host;
  std::u16string_view rest;
  if (!entry.empty() && entry.front() == u'[') {
    const size_t close = entry.find(u']');
    if (close == std::u16string_view::npos || !IsValidIpv6Literal(entry.substr(1, close - 1))) return false;
    rest = entry.substr(close + 1);
  } else {
    const size_t colon = entry.find(u':');
    host = entry.substr(0, colon);
    if (!IsValidHostName(host)) return false;
    if (colon != std::u16string_view::npos) rest = entry.substr(colon);
  }
  if (rest.empty()) return true;
  return rest.front() == u':' && IsValidPort(rest.substr(1));
}

}  // namespace tessarine::translate
