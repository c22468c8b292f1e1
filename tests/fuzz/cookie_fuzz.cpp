// Arbitrary bytes as the cookie traffic of one client: the first line is a request URL, every further line a
// "Set-Cookie" value from the reply to it, and each line is also read as a cookie date. Then the Cookie line
// is generated for that URL and a few neighbours. Nothing may crash, overflow or hang, whatever arrives.
// An odd first byte reads the rest as UTF-16 code units (two bytes each), so text beyond Latin-1, lone
// surrogates included, is reached too; otherwise one character per byte.

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/client/cookie_date.h"
#include "net/client/cookie_manager.h"

namespace {

using namespace tessarine;

std::u16string toText(const uint8_t* data, size_t size) {
  std::u16string text;
  if (size > 0 && (data[0] & 1) != 0) {
    for (size_t i = 1; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  } else {
    for (size_t i = size > 0 ? 1 : 0; i < size; ++i) text.push_back(static_cast<char16_t>(data[i]));
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string text = toText(data, size);
  net::TDateTime now = net::TDateTime(std::chrono::seconds(1'700'000'000));
  client::TIdCookieManager store([&now] { return now; });

  const size_t firstBreak = text.find(u'\n');
  const net::TIdURI url(std::u16string_view(text).substr(0, firstBreak));
  size_t start = firstBreak == std::u16string::npos ? text.size() : firstBreak + 1;
  while (start < text.size()) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    const std::u16string_view line = std::u16string_view(text).substr(start, end - start);
    (void)client::ParseCookieDate(line);
    store.AddServerCookie(line, url);
    start = end + 1;
  }

  for (bool secure : {false, true}) {
    net::TIdHeaderList headers;
    store.GenerateClientCookies(url, secure, headers);
    net::TIdURI sub = url;
    sub.Host = u"x." + sub.Host;
    sub.Path = u"/";
    store.GenerateClientCookies(sub, secure, headers);
    if (headers.Count() > 2) __builtin_trap();  // one Cookie line per call at most
  }
  now = net::TDateTime::max();  // only cookies that end at the clock's last instant survive
  net::TIdHeaderList headers;
  store.GenerateClientCookies(url, false, headers);
  for (const client::TIdCookie& cookie : store.Cookies()) {
    if (cookie.Expires != net::TDateTime::max()) __builtin_trap();
  }
  return 0;
}
