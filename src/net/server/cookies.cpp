#include "net/server/cookies.h"

#include "common/exception.h"
#include "common/text.h"

namespace tessarine::server {

std::u16string TIdCookie::ServerCookie() const {
  std::u16string out = CookieName + u"=" + Value;
  if (!Path.empty()) out += u"; Path=" + Path;
  if (!Domain.empty()) out += u"; Domain=" + Domain;
  if (Secure) out += u"; Secure";
  if (HttpOnly) out += u"; HttpOnly";
  if (MaxAge >= 0) out += u"; Max-Age=" + IntToStr(MaxAge);
  if (net::DateIsSet(Expires)) out += u"; Expires=" + net::DateTimeToHttpStr(Expires);
  return out;
}

TIdCookie& TIdCookies::Add(std::u16string name, std::u16string value) {
  TIdCookie& cookie = m_items.emplace_back();
  cookie.CookieName = std::move(name);
  cookie.Value = std::move(value);
  return cookie;
}

const TIdCookie& TIdCookies::Items(int index) const {
  if (index < 0 || index >= Count()) throw EStringListError::IndexOutOfBounds(index);
  return m_items[static_cast<size_t>(index)];
}

const TIdCookie* TIdCookies::Cookie(std::u16string_view name) const {
  for (const TIdCookie& cookie : m_items) {
    if (cookie.CookieName == name) return &cookie;
  }
  return nullptr;
}

void TIdCookies::AddClientCookies(std::u16string_view headerValue) {
  size_t start = 0;
  while (start <= headerValue.size()) {
    size_t end = headerValue.find(u';', start);
    if (end == std::u16string_view::npos) end = headerValue.size();
    const std::u16string_view piece = Trim(headerValue.substr(start, end - start));
    start = end + 1;
    if (piece.empty()) continue;
    const size_t eq = piece.find(u'=');
    if (eq == std::u16string_view::npos) {
      Add({}, {});
      continue;
    }
    std::u16string_view value = Trim(piece.substr(eq + 1));
    if (!value.empty() && value.front() == u'"') {
      value.remove_prefix(1);
      value = value.substr(0, std::min(value.find(u'"'), value.size()));
    }
    Add(std::u16string(Trim(piece.substr(0, eq))), std::u16string(value));
  }
}

}  // namespace tessarine::server
