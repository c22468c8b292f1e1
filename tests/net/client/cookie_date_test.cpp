#include "net/client/cookie_date.h"

#include <gtest/gtest.h>

#include <chrono>

#include "common/text.h"

using namespace tessarine;
using namespace std::chrono;
using client::ParseCookieDate;
using net::TDateTime;

namespace {

// In seconds first: the midnight before the clock's first instant is itself out of range.
TDateTime utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
  const sys_seconds at = sys_days(year{y} / mo / d) + hours(h) + minutes(mi) + seconds(s);
  return time_point_cast<TDateTime::duration>(at);
}

}  // namespace

TEST(CookieDate, CommonFormatsAndDelimiters) {
  const TDateTime expected = utc(1994, 11, 6, 8, 49, 37);
  for (const char16_t* text : {u"Sun, 06 Nov 1994 08:49:37 GMT", u"Sunday, 06-Nov-94 08:49:37 GMT",
                               u"Sun Nov  6 08:49:37 1994", u"06\tnOVEMBER\t1994\t08:49:37", u"[6]{Nov}1994;8:49:37",
                               u"6th Nov 1994 08:49:37GMT", u"06 11 1994 08:49:37", u"Nov 6 8:49:37 1994 12:00:00"}) {
    EXPECT_EQ(ParseCookieDate(text), expected) << ToUtf8(text);
  }
}

TEST(CookieDate, TwoDigitYears) {
  EXPECT_EQ(ParseCookieDate(u"01 Jan 70 00:00:00"), utc(1970, 1, 1));
  EXPECT_EQ(ParseCookieDate(u"01 Jan 99 00:00:00"), utc(1999, 1, 1));
  EXPECT_EQ(ParseCookieDate(u"01 Jan 00 00:00:00"), utc(2000, 1, 1));
  EXPECT_EQ(ParseCookieDate(u"01 Jan 69 00:00:00"), utc(2069, 1, 1));
  // The year must be the whole token; a one-digit number is no year.
  EXPECT_EQ(ParseCookieDate(u"01 Jan 1999x 00:00:00"), std::nullopt);
  EXPECT_EQ(ParseCookieDate(u"01 Jan 7 00:00:00"), std::nullopt);
}

TEST(CookieDate, InvalidDates) {
  for (const char16_t* text : {
           u"",
           u"06 Nov 1994",            // no time
           u"Nov 1994 08:49:37",      // no day
           u"06 1994 08:49:37",       // no month: 1994 tried as a numeric month
           u"06 13 94 08:49:37",      // 13 is no month (it becomes the year)
           u"1994-11-06 08:49:37",    // year first: four digits tried as the day
           u"006 Nov 1994 08:49:37",  // three-digit day
           u"06 Nov 1994 08:49:370",  // three-digit seconds
           u"06 Nov 1994 24:00:00",   // hour
           u"06 Nov 1994 08:60:00",   // minute
           u"06 Nov 1994 08:00:60",   // second
           u"00 Nov 1994 08:49:37",   // day 0
           u"32 Nov 1994 08:49:37",   // day 32
           u"30 Feb 2024 08:49:37",   // no such day
           u"29 Feb 2023 08:49:37",   // not a leap year
           u"31 Apr 2024 08:49:37",   // no such day
           u"31 Dec 1600 23:59:59",   // before 1601
       }) {
    EXPECT_EQ(ParseCookieDate(text), std::nullopt) << ToUtf8(text);
  }
  EXPECT_EQ(ParseCookieDate(u"29 Feb 2024 08:49:37"), utc(2024, 2, 29, 8, 49, 37));
  EXPECT_EQ(ParseCookieDate(u"06 Nov 1994 8:9:7"), utc(1994, 11, 6, 8, 9, 7));
}

TEST(CookieDate, DatesBeyondTheClockClamp) {
  EXPECT_EQ(ParseCookieDate(u"01 Jan 1601 00:00:00"), TDateTime::min());
  EXPECT_EQ(ParseCookieDate(u"31 Dec 9999 23:59:59"), TDateTime::max());
  // The edges of the nanosecond clock: 1677-09-21 00:12:43.145 and 2262-04-11 23:47:16.854.
  EXPECT_EQ(ParseCookieDate(u"21 Sep 1677 00:12:43"), TDateTime::min());
  EXPECT_EQ(ParseCookieDate(u"21 Sep 1677 00:12:44"), utc(1677, 9, 21, 0, 12, 44));
  EXPECT_EQ(ParseCookieDate(u"11 Apr 2262 23:47:16"), utc(2262, 4, 11, 23, 47, 16));
  EXPECT_EQ(ParseCookieDate(u"11 Apr 2262 23:47:17"), TDateTime::max());

  EXPECT_EQ(client::AddSecondsClamped(TDateTime::max() - seconds(1), 2), TDateTime::max());
  EXPECT_EQ(client::AddSecondsClamped(TDateTime{}, std::numeric_limits<long long>::min()), TDateTime::min());
  EXPECT_EQ(client::AddSecondsClamped(utc(2000, 1, 1), 86400), utc(2000, 1, 2));
}
