#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/http_date.h"

namespace tessarine::server {

// One cookie: as a client sent it (name and value), or as an answer sets it (with its attributes).
struct TIdCookie {
  std::u16string CookieName;
  std::u16string Value;
  std::u16string Path;
  std::u16string Domain;
  bool Secure = false;
  bool HttpOnly = false;
  int64_t MaxAge = -1;  // below 0: not sent
  net::TDateTime Expires{};

  // The value of a "Set-Cookie" line: name=value, then the attributes that are set, separated by "; ".
  std::u16string ServerCookie() const;
};

class TIdCookies {
 public:
  TIdCookie& Add(std::u16string name, std::u16string value);
  int Count() const { return static_cast<int>(m_items.size()); }
  // Raises "List index out of bounds (%d)" outside the list.
  const TIdCookie& Items(int index) const;
  // The first cookie of the name (exact letter case); nullptr when there is none.
  const TIdCookie* Cookie(std::u16string_view name) const;
  void Clear() { m_items.clear(); }

  // Adds one cookie per non-empty ";"-separated piece of a "Cookie" header value: the name is the text before
  // "=" (trimmed), the value the trimmed rest or the text inside its double quotes. A piece without "=" gives
  // a cookie with empty name and value.
  void AddClientCookies(std::u16string_view headerValue);

  auto begin() const { return m_items.begin(); }
  auto end() const { return m_items.end(); }

 private:
  std::vector<TIdCookie> m_items;
};

}  // namespace tessarine::server
