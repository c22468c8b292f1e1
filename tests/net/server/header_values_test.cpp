// The pieces of request parsing and answer writing that need no connection: dates, content types, cookies,
// parameters, versions, methods and status texts.

#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/text.h"
#include "net/content_type.h"
#include "net/http_date.h"
#include "net/server/cookies.h"
#include "net/server/http_request_info.h"
#include "net/server/http_response_info.h"

namespace tessarine::server {
namespace {

using net::DateIsSet;
using net::DateTimeToHttpStr;
using net::HttpStrToDateTime;
using net::MediaTypeOf;
using net::QuoteParameterValue;
using net::SplitContentType;
using net::TContentTypeParts;
using net::TDateTime;

TDateTime FromSeconds(int64_t seconds) { return TDateTime{std::chrono::seconds(seconds)}; }

TEST(HttpDates, WrittenInGmtWithEnglishNames) {
  EXPECT_EQ(DateTimeToHttpStr(FromSeconds(784111777)), u"Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(DateTimeToHttpStr(FromSeconds(951782400)), u"Tue, 29 Feb 2000 00:00:00 GMT");
}

TEST(HttpDates, ReadInTheThreeForms) {
  const TDateTime expected = FromSeconds(784111777);
  EXPECT_EQ(HttpStrToDateTime(u"Sun, 06 Nov 1994 08:49:37 GMT"), expected);
  EXPECT_EQ(HttpStrToDateTime(u"Sunday, 06-Nov-94 08:49:37 GMT"), expected);
  EXPECT_EQ(HttpStrToDateTime(u"Sun Nov  6 08:49:37 1994"), expected);
  EXPECT_EQ(HttpStrToDateTime(u"Sun, 06 Nov 1994 10:49:37 +0200"), expected);
  // Past what the clock holds: the latest time it can, or not set.
  EXPECT_EQ(HttpStrToDateTime(u"Fri, 31 Dec 9999 23:59:59 GMT"), TDateTime::max());
  EXPECT_FALSE(DateIsSet(HttpStrToDateTime(u"Mon, 01 Jan 0001 00:00:00 GMT")));
  for (const char16_t* bad : {u"", u"yesterday", u"Sun, 31 Feb 1994 08:49:37 GMT", u"06 Nov 1994 25:00:00",
                              u"Sun, 06 Nov 1994", u"99:99:99:99"})
    EXPECT_FALSE(DateIsSet(HttpStrToDateTime(bad))) << ToUtf8(bad);
}

TEST(ContentTypes, CharsetIsSplitOff) {
  auto split = [](std::u16string_view value) {
    const TContentTypeParts parts = SplitContentType(value);
    return std::make_pair(ToUtf8(parts.ContentType), ToUtf8(parts.CharSet));
  };
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(split(u"text/html; charset=ISO-8859-1"), (P{"text/html", "ISO-8859-1"}));
  EXPECT_EQ(split(u"text/plain; CharSet=\"koi8-r\"; format=flowed"), (P{"text/plain; format=flowed", "koi8-r"}));
  EXPECT_EQ(split(u"application/x-www-form-urlencoded;charset=utf-8"),
            (P{"application/x-www-form-urlencoded", "utf-8"}));
  EXPECT_EQ(split(u"text/html"), (P{"text/html", "ISO-8859-1"}));
  EXPECT_EQ(split(u"Text/XML"), (P{"Text/XML", "us-ascii"}));
  EXPECT_EQ(split(u"text/xml-external-parsed-entity"), (P{"text/xml-external-parsed-entity", "us-ascii"}));
  EXPECT_EQ(split(u"text/svg+xml"), (P{"text/svg+xml", "us-ascii"}));
  EXPECT_EQ(split(u"application/json"), (P{"application/json", ""}));
  EXPECT_EQ(split(u""), (P{"", ""}));
  EXPECT_EQ(MediaTypeOf(u" text/html ; q=1"), u"text/html");
}

TEST(ContentTypes, ParameterQuotedOnlyWhenNeeded) {
  EXPECT_EQ(QuoteParameterValue(u"utf-8"), u"utf-8");
  EXPECT_EQ(QuoteParameterValue(u"a b"), u"\"a b\"");
  EXPECT_EQ(QuoteParameterValue(u"x\"y;z"), u"\"x\\\"y;z\"");
}

TEST(RequestCookies, PiecesOfTheCookieHeader) {
  TIdCookies cookies;
  cookies.AddClientCookies(u"a=1;  b = \"two words\"x ;;flag; c=");
  ASSERT_EQ(cookies.Count(), 4);
  EXPECT_EQ(cookies.Items(0).CookieName, u"a");
  EXPECT_EQ(cookies.Items(1).Value, u"two words");
  EXPECT_EQ(cookies.Items(2).CookieName, u"");
  EXPECT_EQ(cookies.Items(3).Value, u"");
  EXPECT_THROW(cookies.Items(4), EStringListError);
  TIdCookie set;
  set.CookieName = u"SESSIONIDS";
  set.Value = u"X";
  set.Path = u"/";
  set.HttpOnly = true;
  set.MaxAge = 60;
  EXPECT_EQ(set.ServerCookie(), u"SESSIONIDS=X; Path=/; HttpOnly; Max-Age=60");
}

TEST(RequestRecord, ParamsVersionAndMethod) {
  TIdHTTPRequestInfo request;
  request.FillParams(u"text=%D0%9F&langpair=en|ru");
  EXPECT_EQ(request.Params().Items(), (std::vector<std::u16string>{u"text=\u00D0\u009F", u"langpair=en|ru"}));
  EXPECT_THROW(request.Params()[2], EStringListError);
  try {
    request.Params()[2];
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), u"List index out of bounds (2)");
  }
  request.SetContentType(u"text/plain; charset=utf-8");
  request.FillParams(u"t=%D0%9F");
  EXPECT_EQ(request.Params()[0], u"t=\u041F");
  request.FillParams(u"");
  EXPECT_EQ(request.Params().Count(), 0);

  request.SetVersion(u"HTTP/1.1");
  EXPECT_TRUE(request.IsVersionAtLeast(1, 1));
  EXPECT_FALSE(request.IsVersionAtLeast(1, 2));
  request.SetVersion(u"HTTP/2");
  EXPECT_EQ(request.VersionMajor, 2);
  EXPECT_EQ(request.VersionMinor, -1);
  EXPECT_TRUE(request.IsVersionAtLeast(1, 1));
  request.SetVersion(u"HTTP/1.x");
  EXPECT_FALSE(request.IsVersionAtLeast(1, 0));
  request.SetVersion(u"junk");
  EXPECT_EQ(request.VersionMajor, -1);
  EXPECT_FALSE(request.IsVersionAtLeast(0, 0));

  EXPECT_EQ(DecodeHTTPCommand(u"options"), translate::THTTPCommandType::hcOPTION);
  EXPECT_EQ(DecodeHTTPCommand(u"unknown"), translate::THTTPCommandType::hcUnknown);
  EXPECT_EQ(DecodeHTTPCommand(u"CONNECT"), translate::THTTPCommandType::hcUnknown);
}

TEST(RequestRecord, ContentLengthIsANumberThatFitsOrNone) {
  TIdHTTPRequestInfo request;
  auto length = [&request](std::u16string_view value) {
    request.RawHeaders.Clear();
    request.RawHeaders.AddValue(u"Content-Length", std::u16string(value));
    request.ProcessHeaders();
    return request.ContentLength;
  };
  EXPECT_EQ(length(u" 12 "), 12);
  EXPECT_EQ(length(u"0000000000000000000000000000012"), 12);
  EXPECT_EQ(length(u"9223372036854775807"), INT64_MAX);
  for (const char16_t* bad : {u"9223372036854775808", u"18446744073709551620", u"99999999999999999999999", u"1x", u""})
    EXPECT_EQ(length(bad), -1) << ToUtf8(bad);
}

TEST(ResponseRecord, DefaultsAndStatusTexts) {
  TIdHTTPResponseInfo response(nullptr, nullptr);
  EXPECT_EQ(response.ResponseNo(), 200);
  EXPECT_EQ(response.ResponseText, u"OK");
  EXPECT_EQ(response.ContentLength, -1);
  EXPECT_FALSE(DateIsSet(response.Date));
  EXPECT_FALSE(response.CloseConnection());
  response.SetResponseNo(404);
  EXPECT_EQ(response.ResponseText, u"Not Found");
  EXPECT_TRUE(response.CloseConnection());
  EXPECT_EQ(response.Connection, u"close");
  EXPECT_EQ(ResponseTextFor(414), u"Request-URI Too Long. 256 Chars max");
  EXPECT_EQ(ResponseTextFor(418), u"Unknown Response Code");
  response.Redirect(u"/x");
  EXPECT_EQ(response.ResponseNo(), 302);
  EXPECT_EQ(response.Location, u"/x");
  response.SetContentType(u"text/html; charset=utf-8");
  EXPECT_EQ(response.ContentType(), u"text/html");
  EXPECT_EQ(response.CharSet, u"utf-8");
}

}  // namespace
}  // namespace tessarine::server
