#include "net/client/cookie_manager.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>

#include "common/text.h"
#include "net/client/cookie_date.h"
#include "net/socket_stack.h"

namespace tessarine::client {

using net::TDateTime;

// LastAccessed is written by senders that hold only the read lock, so it lives in an atomic of its own.
struct TIdCookieManager::StoredCookie {
  explicit StoredCookie(TIdCookie c) : cookie(std::move(c)), lastAccessed(cookie.LastAccessed) {}
  TIdCookie cookie;  // LastAccessed of this copy is not kept up to date
  std::atomic<TDateTime> lastAccessed;
};

namespace {

// Larger counts of seconds all lie beyond the range of TDateTime; capping them keeps the arithmetic exact.
constexpr long long kSecondsCap = 10'000'000'000'000LL;

// A leading double quote is dropped and the text ends before the next one.
std::u16string_view unquote(std::u16string_view text) {
  if (text.empty() || text.front() != u'"') return text;
  text.remove_prefix(1);
  return text.substr(0, text.find(u'"'));
}

// An optional "-" and decimal digits, nothing else.
bool wholeNumber(std::u16string_view text, long long& value) {
  bool negative = false;
  if (!text.empty() && text.front() == u'-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  long long n = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    n = std::min(n * 10 + (c - u'0'), kSecondsCap);
  }
  value = negative ? -n : n;
  return true;
}

// Zero or fewer seconds from now means the cookie's life is over: RFC 6265 5.2.2 takes the earliest time,
// which also makes "Max-Age=0" delete a stored cookie whatever the clock's resolution.
TDateTime expiryAfter(TDateTime now, long long seconds) {
  return seconds <= 0 ? TDateTime::min() : AddSecondsClamped(now, seconds);
}

// A control character in a name or value could end the request's header line on the way back out.
bool hasControlCharacter(std::u16string_view text) {
  return std::any_of(text.begin(), text.end(), [](char16_t c) { return (c < 0x20 && c != u'\t') || c == 0x7F; });
}

bool isHttpUrl(const net::TIdURI& url) {
  return SameTextAscii(url.Protocol, u"http") || SameTextAscii(url.Protocol, u"https");
}

bool endsWithText(std::u16string_view text, std::u16string_view suffix) {
  return text.size() >= suffix.size() && SameTextAscii(text.substr(text.size() - suffix.size()), suffix);
}

// RFC 6265 5.1.3, without a public-suffix list. An IP address matches only itself.
bool domainMatch(std::u16string_view host, std::u16string_view domain) {
  if (SameTextAscii(host, domain)) return true;
  if (domain.empty() || host.size() <= domain.size() || !endsWithText(host, domain)) return false;
  if (host[host.size() - domain.size() - 1] != u'.') return false;
  return !net::TIdStack::IsIPv4Literal(host) && !net::TIdStack::IsIPv6Literal(host);
}

// The directory of the request, which ends with "/".
std::u16string_view requestDirectory(const net::TIdURI& url) {
  return url.Path.empty() ? std::u16string_view(u"/") : std::u16string_view(url.Path);
}

// RFC 6265 5.1.4: the directory without its final "/", or "/" when that leaves nothing.
std::u16string defaultPath(const net::TIdURI& url) {
  std::u16string_view dir = requestDirectory(url);
  if (dir.size() > 1 && dir.back() == u'/') dir.remove_suffix(1);
  if (dir.empty() || dir.front() != u'/') return u"/";
  return std::u16string(dir);
}

// RFC 6265 5.1.4; letter case is ignored throughout, as it is for the stored path.
bool pathMatch(std::u16string_view directory, std::u16string_view cookiePath) {
  if (SameTextAscii(directory, cookiePath)) return true;
  if (cookiePath.empty() || directory.size() < cookiePath.size() ||
      !SameTextAscii(directory.substr(0, cookiePath.size()), cookiePath))
    return false;
  return cookiePath.back() == u'/' || directory[cookiePath.size()] == u'/';
}

// One "Set-Cookie" value taken apart; nothing when it is malformed or not allowed for the URL.
std::optional<TIdCookie> parseSetCookie(std::u16string_view text, const net::TIdURI& url, TDateTime now) {
  const size_t semicolon = text.find(u';');
  const std::u16string_view pair = text.substr(0, semicolon);
  std::u16string_view attributes =
      semicolon == std::u16string_view::npos ? std::u16string_view{} : text.substr(semicolon + 1);
  const size_t equals = pair.find(u'=');
  if (equals == std::u16string_view::npos) return std::nullopt;
  TIdCookie cookie;
  cookie.CookieName = Trim(pair.substr(0, equals));
  cookie.Value = unquote(Trim(pair.substr(equals + 1)));
  if (cookie.CookieName.empty() || hasControlCharacter(cookie.CookieName) || hasControlCharacter(cookie.Value))
    return std::nullopt;

  std::optional<TDateTime> maxAge, expires;
  std::optional<std::u16string> domain, path;
  while (!attributes.empty()) {
    const size_t end = attributes.find(u';');
    const std::u16string_view attribute = attributes.substr(0, end);
    attributes = end == std::u16string_view::npos ? std::u16string_view{} : attributes.substr(end + 1);
    const size_t eq = attribute.find(u'=');
    const std::u16string_view name = Trim(attribute.substr(0, eq));
    const std::u16string_view value =
        eq == std::u16string_view::npos ? std::u16string_view{} : unquote(Trim(attribute.substr(eq + 1)));
    long long seconds = 0;
    // When an attribute comes more than once the last usable one counts.
    if (SameTextAscii(name, u"Expires")) {
      if (wholeNumber(value, seconds)) {
        expires = expiryAfter(now, seconds);
      } else if (std::optional<TDateTime> date = ParseCookieDate(value)) {
        expires = *date;
      }
    } else if (SameTextAscii(name, u"Max-Age")) {
      if (wholeNumber(value, seconds)) maxAge = expiryAfter(now, seconds);
    } else if (SameTextAscii(name, u"Domain")) {
      std::u16string_view d = value;
      if (!d.empty() && d.front() == u'.') d.remove_prefix(1);
      d = d.substr(0, d.find(u':'));
      if (!d.empty()) domain = LowerCaseAscii(d);
    } else if (SameTextAscii(name, u"Path")) {
      path = value.empty() || value.front() != u'/' ? defaultPath(url) : std::u16string(value);
    } else if (SameTextAscii(name, u"Secure")) {
      cookie.Secure = true;
    } else if (SameTextAscii(name, u"HttpOnly")) {
      cookie.HttpOnly = true;
    }
  }

  if (maxAge || expires) {
    cookie.Persistent = true;
    cookie.Expires = maxAge ? *maxAge : *expires;
  }
  if (domain) {
    if (!domainMatch(url.Host, *domain)) return std::nullopt;
    cookie.Domain = std::move(*domain);
  } else {
    cookie.HostOnly = true;
    cookie.Domain = url.Host;
  }
  cookie.Path = path ? std::move(*path) : defaultPath(url);
  if (cookie.HttpOnly && !isHttpUrl(url)) return std::nullopt;
  cookie.CreatedAt = now;
  cookie.LastAccessed = now;
  return cookie;
}

}  // namespace

TIdCookieManager::TIdCookieManager(TClock clock) : m_clock(std::move(clock)) {}

TIdCookieManager::~TIdCookieManager() = default;

TDateTime TIdCookieManager::now() const { return m_clock ? m_clock() : std::chrono::system_clock::now(); }

void TIdCookieManager::AddServerCookie(std::u16string_view setCookie, const net::TIdURI& url) {
  const TDateTime at = now();
  std::optional<TIdCookie> cookie = parseSetCookie(setCookie, url, at);
  if (!cookie) return;
  std::unique_lock lock(m_lock);
  const auto same = std::find_if(m_cookies.begin(), m_cookies.end(), [&](const std::unique_ptr<StoredCookie>& s) {
    return SameTextAscii(s->cookie.CookieName, cookie->CookieName) && SameTextAscii(s->cookie.Domain, cookie->Domain) &&
           SameTextAscii(s->cookie.Path, cookie->Path);
  });
  if (same != m_cookies.end()) {
    if ((*same)->cookie.HttpOnly && !isHttpUrl(url)) return;
    cookie->CreatedAt = (*same)->cookie.CreatedAt;
    m_cookies.erase(same);
  }
  if (cookie->IsExpired(at)) return;
  const std::u16string domain = cookie->Domain;
  m_cookies.push_back(std::make_unique<StoredCookie>(std::move(*cookie)));
  evictOverLimits(domain, at);
}

// RFC 6265 5.3 step 12 and 6.1: the expired go first, then the least recently used of a domain over its
// share, then the least recently used of all; otherwise an engine that names a new cookie in every reply
// would grow the store, and every request's Cookie line, for as long as the program runs.
void TIdCookieManager::evictOverLimits(const std::u16string& domain, TDateTime at) {
  if (static_cast<int>(m_cookies.size()) <= kMaxCookiesPerDomain) return;
  std::erase_if(m_cookies, [&](const std::unique_ptr<StoredCookie>& s) { return s->cookie.IsExpired(at); });
  auto leastRecent = [this](auto&& eligible) {
    auto oldest = m_cookies.end();
    for (auto it = m_cookies.begin(); it != m_cookies.end(); ++it) {
      if (!eligible(**it)) continue;
      if (oldest == m_cookies.end() ||
          (*it)->lastAccessed.load(std::memory_order_relaxed) < (*oldest)->lastAccessed.load(std::memory_order_relaxed))
        oldest = it;
    }
    return oldest;
  };
  auto inDomain = [&domain](const StoredCookie& s) { return SameTextAscii(s.cookie.Domain, domain); };
  while (std::count_if(m_cookies.begin(), m_cookies.end(), [&](const auto& s) { return inDomain(*s); }) >
         kMaxCookiesPerDomain)
    m_cookies.erase(leastRecent(inDomain));
  while (static_cast<int>(m_cookies.size()) > kMaxCookies)
    m_cookies.erase(leastRecent([](const StoredCookie&) { return true; }));
}

void TIdCookieManager::AddServerCookies(const TStringList& setCookies, const net::TIdURI& url) {
  for (const std::u16string& value : setCookies) AddServerCookie(value, url);
}

void TIdCookieManager::GenerateClientCookies(const net::TIdURI& url, bool secure, net::TIdHeaderList& headers) {
  const TDateTime at = now();
  {
    std::unique_lock lock(m_lock);
    std::erase_if(m_cookies, [&](const std::unique_ptr<StoredCookie>& s) { return s->cookie.IsExpired(at); });
  }
  std::u16string line;
  {
    std::shared_lock lock(m_lock);
    const std::u16string_view directory = requestDirectory(url);
    const bool httpUrl = isHttpUrl(url);
    std::vector<StoredCookie*> selected;
    for (const std::unique_ptr<StoredCookie>& s : m_cookies) {
      const TIdCookie& c = s->cookie;
      const bool hostMatch = c.HostOnly ? SameTextAscii(url.Host, c.Domain) : domainMatch(url.Host, c.Domain);
      if (hostMatch && pathMatch(directory, c.Path) && (!c.Secure || secure) && (!c.HttpOnly || httpUrl))
        selected.push_back(s.get());
    }
    // RFC 6265 5.4 step 2; stable, so equal creation times keep store order.
    std::stable_sort(selected.begin(), selected.end(), [](const StoredCookie* a, const StoredCookie* b) {
      if (a->cookie.Path.size() != b->cookie.Path.size()) return a->cookie.Path.size() > b->cookie.Path.size();
      return a->cookie.CreatedAt < b->cookie.CreatedAt;
    });
    for (StoredCookie* s : selected) {
      // Concurrent senders read the clock before the lock, so keep the latest time rather than the last write.
      TDateTime seen = s->lastAccessed.load(std::memory_order_relaxed);
      while (seen < at && !s->lastAccessed.compare_exchange_weak(seen, at, std::memory_order_relaxed)) {
      }
      if (!line.empty()) line += u"; ";
      line += s->cookie.CookieName;
      line += u'=';
      line += s->cookie.Value;
    }
  }
  headers.AddValue(u"Cookie", line);
}

std::vector<TIdCookie> TIdCookieManager::Cookies() const {
  std::shared_lock lock(m_lock);
  std::vector<TIdCookie> result;
  result.reserve(m_cookies.size());
  for (const std::unique_ptr<StoredCookie>& s : m_cookies) {
    result.push_back(s->cookie);
    result.back().LastAccessed = s->lastAccessed.load(std::memory_order_relaxed);
  }
  return result;
}

int TIdCookieManager::Count() const {
  std::shared_lock lock(m_lock);
  return static_cast<int>(m_cookies.size());
}

}  // namespace tessarine::client
