#include "net/client/cookie_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "common/text.h"

using namespace tessarine;
using namespace std::chrono;
using client::TIdCookie;
using client::TIdCookieManager;
using net::TDateTime;
using net::TIdURI;

namespace {

const TDateTime kStart = TDateTime(sys_days(year{2024} / 3 / 1)) + hours(12);

class CookieStore : public ::testing::Test {
 protected:
  std::atomic<TDateTime> clock{kStart};
  TIdCookieManager store{[this] { return clock.load(); }};

  void add(std::u16string_view setCookie, std::u16string_view url = u"http://www.example.com/x/y") {
    store.AddServerCookie(setCookie, TIdURI(url));
  }
  // The values of every "Cookie" line for the URL, joined by " | ".
  std::u16string sent(std::u16string_view url, bool secure = false, net::TIdHeaderList headers = {}) {
    store.GenerateClientCookies(TIdURI(url), secure, headers);
    TStringList lines;
    headers.Extract(u"Cookie", lines);
    std::u16string joined;
    for (const std::u16string& line : lines) joined += (joined.empty() ? u"" : u" | ") + line;
    return joined;
  }
  TIdCookie only() {
    const std::vector<TIdCookie> all = store.Cookies();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? TIdCookie{} : all.front();
  }
  void advance(seconds by) { clock.store(clock.load() + by); }
};

}  // namespace

TEST_F(CookieStore, SessionCookieWithDefaults) {
  add(u" sid = \"a b\"c ; Secure; HTTPONLY; Unknown=1");
  const TIdCookie c = only();
  EXPECT_EQ(c.CookieName, u"sid");
  EXPECT_EQ(c.Value, u"a b");  // quotes dropped, text after the closing one too
  EXPECT_EQ(c.Domain, u"www.example.com");
  EXPECT_TRUE(c.HostOnly);
  EXPECT_EQ(c.Path, u"/x");  // the directory /x/ without its final slash
  EXPECT_TRUE(c.Secure && c.HttpOnly);
  EXPECT_FALSE(c.Persistent);
  EXPECT_EQ(c.Expires, TDateTime::max());
  EXPECT_FALSE(c.IsExpired(TDateTime::max()));
  EXPECT_EQ(c.CreatedAt, kStart);
  add(u"r=1", u"http://www.example.com/doc");
  EXPECT_EQ(store.Cookies().back().Path, u"/");
}

TEST_F(CookieStore, MalformedValuesAreIgnored) {
  using namespace std::literals;
  for (std::u16string_view text :
       {u""sv, u"novalue"sv, u"=x"sv, u"  =x; Path=/"sv, u";a=b"sv, u"a=b\rSet: 1"sv, u"a\nb=c"sv, u"a=b\0c"sv}) {
    add(text);
  }
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(sent(u"http://www.example.com/x/"), u"");
}

TEST_F(CookieStore, Attributes) {
  add(u"a=1; path=/p; Path=/q/; max-age=60; Expires=Thu, 01 Jan 2037 00:00:00 GMT; MAX-AGE=x");
  TIdCookie c = only();
  EXPECT_EQ(c.Path, u"/q/");
  EXPECT_TRUE(c.Persistent);
  EXPECT_EQ(c.Expires, kStart + seconds(60));  // Max-Age wins over Expires; its unusable repeat is ignored
  add(u"a=1; Path=/q/");
  add(u"b=2; Path=rel; Expires=2024-03-01 13:00:00");  // relative path: default; year-first date: ignored
  c = store.Cookies().back();
  EXPECT_EQ(c.Path, u"/x");
  EXPECT_FALSE(c.Persistent);
  add(u"c=3; Expires=\"Fri, 01 Mar 2024 13:00:00 GMT\"; Max-Age=99999999999999999999999");
  EXPECT_EQ(store.Cookies().back().Expires, TDateTime::max());
  add(u"d=4; Expires=3600");  // a number counts seconds from now
  EXPECT_EQ(store.Cookies().back().Expires, kStart + hours(1));
  add(u"e=5; Expires=Fri, 01 Mar 2024 13:00:00 GMT");
  EXPECT_EQ(store.Cookies().back().Expires, kStart + hours(1));
}

TEST_F(CookieStore, ReplacingAndDeleting) {
  add(u"a=1; Path=/");
  advance(seconds(5));
  add(u"b=2; Path=/");
  add(u"A=3; path=/");  // same name without regard to case: replaces, keeps CreatedAt, goes last
  std::vector<TIdCookie> all = store.Cookies();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].Value, u"3");
  EXPECT_EQ(all[1].CreatedAt, kStart);
  add(u"a=1; Path=/other");  // another path: another cookie
  EXPECT_EQ(store.Count(), 3);
  add(u"a=1; Path=/; Max-Age=0");
  add(u"b=1; Path=/; Expires=Thu, 01 Jan 1970 00:00:00 GMT");
  add(u"a=1; Path=/other; Expires=Mon, 01 Jan 1601 00:00:00 GMT");
  EXPECT_EQ(store.Count(), 0);
  add(u"gone=1; Max-Age=-5");  // already expired: never stored
  add(u"gone=1; Expires=-1");
  EXPECT_EQ(store.Count(), 0);
}

TEST_F(CookieStore, DomainAttribute) {
  add(u"d=1; Domain=.Example.COM:8080; Path=/");
  const TIdCookie c = only();
  EXPECT_EQ(c.Domain, u"example.com");
  EXPECT_FALSE(c.HostOnly);
  EXPECT_EQ(sent(u"http://other.EXAMPLE.com/"), u"d=1");
  EXPECT_EQ(sent(u"http://example.com/"), u"d=1");
  EXPECT_EQ(sent(u"http://badexample.com/"), u"");
  EXPECT_EQ(sent(u"http://example.org/"), u"");

  add(u"h=1; Path=/");  // host-only: not for subdomains or the parent
  EXPECT_EQ(sent(u"http://WWW.example.com/"), u"d=1; h=1");
  EXPECT_EQ(sent(u"http://a.www.example.com/"), u"d=1");

  add(u"x=1; Domain=other.com");
  add(u"x=1; Domain=ample.com");
  add(u"x=1; Domain=a.www.example.com");
  EXPECT_EQ(store.Count(), 2);
}

TEST_F(CookieStore, NumericHostsMatchOnlyThemselves) {
  add(u"a=1; Domain=0.1", u"http://192.168.0.1/");
  add(u"b=1; Domain=2.3.4", u"http://[::ffff:1.2.3.4]/");
  EXPECT_EQ(store.Count(), 0);
  add(u"c=1; Domain=192.168.0.1", u"http://192.168.0.1/");
  add(u"d=1", u"http://[::1]:8080/");
  EXPECT_EQ(sent(u"http://192.168.0.1/"), u"c=1");
  EXPECT_EQ(sent(u"http://[::1]/"), u"d=1");
}

TEST_F(CookieStore, PathMatchAndOrder) {
  add(u"a=1; Path=/");
  add(u"b=2; Path=/x");
  add(u"c=3; Path=/x/y");  // names a document: not sent for /x/y
  EXPECT_EQ(sent(u"http://www.example.com/x/y"), u"b=2; a=1");
  EXPECT_EQ(sent(u"http://www.example.com/X/y/z"), u"c=3; b=2; a=1");
  EXPECT_EQ(sent(u"http://www.example.com/xy/"), u"a=1");

  // Equal path lengths: earlier creation first; equal creation times keep store order.
  add(u"e=5; Path=/q");
  add(u"d=4; Path=/q");
  advance(seconds(1));
  add(u"e=6; Path=/q");  // keeps its creation time but moves behind d
  add(u"f=7; Path=/r");
  EXPECT_EQ(sent(u"http://www.example.com/q/"), u"d=4; e=6; a=1");
  advance(seconds(-2));
  add(u"g=8; Path=/q");
  EXPECT_EQ(sent(u"http://www.example.com/q/"), u"g=8; d=4; e=6; a=1");
}

TEST_F(CookieStore, SecureHttpOnlyAndCustomLines) {
  add(u"s=1; Path=/; Secure");
  add(u"h=2; Path=/; HttpOnly");
  add(u"f=3; Path=/; HttpOnly", u"ftp://www.example.com/");
  EXPECT_EQ(store.Count(), 2);
  add(u"h=plain; Path=/", u"ftp://www.example.com/");  // may not replace an HttpOnly cookie
  EXPECT_EQ(sent(u"http://www.example.com/"), u"h=2");
  EXPECT_EQ(sent(u"https://www.example.com/", true), u"s=1; h=2");
  EXPECT_EQ(sent(u"ftp://www.example.com/", true), u"s=1");

  net::TIdHeaderList custom;
  custom.AddValue(u"Cookie", u"mine=0");
  EXPECT_EQ(sent(u"http://www.example.com/", false, custom), u"mine=0 | h=2");
}

TEST_F(CookieStore, ExpiryAndLastAccess) {
  add(u"m=1; Path=/; Max-Age=10");
  add(u"s=2; Path=/");
  add(u"other=3; Path=/elsewhere/");
  advance(seconds(10));
  EXPECT_EQ(sent(u"http://www.example.com/"), u"m=1; s=2");  // not later than Expires yet
  EXPECT_EQ(store.Cookies()[0].LastAccessed, kStart + seconds(10));
  EXPECT_EQ(store.Cookies()[2].LastAccessed, kStart);
  advance(seconds(1));
  EXPECT_EQ(sent(u"http://www.example.com/"), u"s=2");
  EXPECT_EQ(store.Count(), 2);  // the expired one is gone from the store
}

TEST(CookieStoreThreads, ConcurrentAddAndGenerate) {
  std::atomic<long long> ticks{0};
  TIdCookieManager store([&] { return TDateTime(seconds(1'700'000'000 + ticks++)); });
  const TIdURI url(u"http://www.example.com/a/");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::u16string name = u"t" + IntToStr(t) + u"_" + IntToStr(i % 20);
        store.AddServerCookie(name + u"=" + IntToStr(i) + (i % 7 == 0 ? u"; Max-Age=0" : u"; Path=/"), url);
        net::TIdHeaderList headers;
        store.GenerateClientCookies(url, false, headers);
        EXPECT_LE(headers.Count(), 1);
        if (i % 50 == 0) (void)store.Cookies();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(store.Count(), 80);
  for (const TIdCookie& c : store.Cookies()) EXPECT_GE(c.LastAccessed, c.CreatedAt);
}

// An engine naming a new cookie in every reply must not grow the store, nor every request's Cookie line, for as
// long as the program runs: a domain keeps its 50 most recently used, and expired ones go first.
TEST_F(CookieStore, ADomainKeepsItsMostRecentlyUsedCookiesOnly) {
  add(u"keep=1; Path=/k");
  add(u"soon=1; Max-Age=5");
  for (int i = 0; i < 200; ++i) {
    advance(seconds(1));
    sent(u"http://www.example.com/k/page");  // keep, the oldest stored, is used all the time
    add(u"c" + Widen(std::to_string(i)) + u"=v");
  }
  add(u"other=1", u"http://other.example.org/");
  const std::vector<TIdCookie> all = store.Cookies();
  EXPECT_EQ(all.size(), static_cast<size_t>(TIdCookieManager::kMaxCookiesPerDomain) + 1);
  auto held = [&all](std::u16string_view name) {
    return std::any_of(all.begin(), all.end(), [&](const TIdCookie& c) { return c.CookieName == name; });
  };
  EXPECT_TRUE(held(u"keep"));
  EXPECT_FALSE(held(u"soon"));
  EXPECT_TRUE(held(u"c151") && held(u"c199") && held(u"other"));
  EXPECT_FALSE(held(u"c150"));
}

// Many domains, each within its share, must not add up without end either: beyond 3,000 in all the least
// recently used go, whichever domain they belong to.
TEST_F(CookieStore, TheWholeStoreKeepsItsMostRecentlyUsedCookiesOnly) {
  auto host = [](int d) { return u"http://d" + IntToStr(d) + u".example.com/"; };
  constexpr int kPerDomain = 25;
  constexpr int kDomains = TIdCookieManager::kMaxCookies / kPerDomain + 4;
  for (int d = 0; d < kDomains; ++d) {
    advance(seconds(1));
    sent(host(0));  // d0's cookies, the oldest stored, are used all the time
    for (int i = 0; i < kPerDomain; ++i) add(u"c" + IntToStr(i) + u"=v", host(d));
  }
  const std::vector<TIdCookie> all = store.Cookies();
  EXPECT_EQ(all.size(), static_cast<size_t>(TIdCookieManager::kMaxCookies));
  auto inDomain = [&all](int d) {
    const std::u16string domain = u"d" + IntToStr(d) + u".example.com";
    return std::count_if(all.begin(), all.end(), [&](const TIdCookie& c) { return c.Domain == domain; });
  };
  EXPECT_EQ(inDomain(0), kPerDomain);
  for (int d = 1; d <= 4; ++d) EXPECT_EQ(inDomain(d), 0) << d;
  EXPECT_EQ(inDomain(5), kPerDomain);
  EXPECT_EQ(inDomain(kDomains - 1), kPerDomain);
}
