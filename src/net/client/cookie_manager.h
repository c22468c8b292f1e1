#pragma once

#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/string_list.h"
#include "net/header_list.h"
#include "net/http_date.h"
#include "net/uri.h"

namespace tessarine::client {

// One stored cookie. Times are instants; Expires always holds one: TDateTime::max() for a session cookie
// (so it never expires), TDateTime::min() for "long past".
struct TIdCookie {
  std::u16string CookieName;  // compared without regard to case
  std::u16string Value;       // without surrounding double quotes
  std::u16string Domain;      // lower-cased, or the request host of a host-only cookie
  std::u16string Path;
  bool HostOnly = false;
  bool Persistent = false;  // the server gave Max-Age or Expires
  bool Secure = false;      // sent only over a secure channel
  bool HttpOnly = false;    // accepted and sent only for "http" and "https" URLs
  net::TDateTime Expires = net::TDateTime::max();
  net::TDateTime CreatedAt{};
  net::TDateTime LastAccessed{};

  bool IsExpired(net::TDateTime now) const { return now > Expires; }
};

// The client's in-memory cookie store (RFC 6265 storage and retrieval, without a public-suffix list).
// Safe to use from several threads: many readers or one writer.
class TIdCookieManager {
 public:
  using TClock = std::function<net::TDateTime()>;

  // An empty clock means std::chrono::system_clock::now. The clock may be called from several threads.
  explicit TIdCookieManager(TClock clock = {});
  ~TIdCookieManager();
  TIdCookieManager(const TIdCookieManager&) = delete;
  TIdCookieManager& operator=(const TIdCookieManager&) = delete;

  // Stores one "Set-Cookie" value received in reply to a request for url (Path ending with "/"). A malformed
  // value, or one the URL may not set, is ignored. A cookie that is already expired deletes the stored one
  // of the same name, domain and path.
  void AddServerCookie(std::u16string_view setCookie, const net::TIdURI& url);
  // Each value in order.
  void AddServerCookies(const TStringList& setCookies, const net::TIdURI& url);

  // Drops expired cookies, then appends one "Cookie" line holding every cookie allowed for url (longest path
  // first, then the earliest created), when there is any. secure: whether the request goes over TLS.
  void GenerateClientCookies(const net::TIdURI& url, bool secure, net::TIdHeaderList& headers);

  // A copy of the store, in store order.
  std::vector<TIdCookie> Cookies() const;
  int Count() const;

  // The most cookies kept for one domain and in all; beyond them the least recently used go.
  static constexpr int kMaxCookiesPerDomain = 50;
  static constexpr int kMaxCookies = 3000;

 private:
  struct StoredCookie;

  net::TDateTime now() const;
  // With the write lock held, after a cookie of domain was stored.
  void evictOverLimits(const std::u16string& domain, net::TDateTime at);

  TClock m_clock;
  mutable std::shared_mutex m_lock;
  std::vector<std::unique_ptr<StoredCookie>> m_cookies;
};

}  // namespace tessarine::client
