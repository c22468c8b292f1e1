#include "net/client/cookie_date.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <ratio>
#include <type_traits>

#include "common/text.h"

namespace tessarine::client {

namespace {

using net::TDateTime;

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// RFC 6265 5.1.1 delimiter: %x09 / %x20-2F / %x3B-40 / %x5B-60 / %x7B-7E.
bool isDelimiter(char16_t c) {
  return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
         (c >= 0x7B && c <= 0x7E);
}

// Number of digits at the start of the text.
size_t leadingDigits(std::u16string_view text, size_t from = 0) {
  size_t i = from;
  while (i < text.size() && isDigit(text[i])) ++i;
  return i - from;
}

// Callers bound the length, so no overflow.
int digitsValue(std::u16string_view digits) {
  int value = 0;
  for (char16_t c : digits) value = value * 10 + (c - u'0');
  return value;
}

constexpr std::array<std::u16string_view, 12> kMonths = {u"jan", u"feb", u"mar", u"apr", u"may", u"jun",
                                                         u"jul", u"aug", u"sep", u"oct", u"nov", u"dec"};

struct Parts {
  bool hasTime = false, hasDay = false, hasMonth = false, hasYear = false;
  int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
};

enum class Match { no, yes, invalid };

// hms-time: 1*2DIGIT ":" 1*2DIGIT ":" 1*2DIGIT, then a non-digit or the end.
Match matchTime(std::u16string_view token, Parts& p) {
  int fields[3] = {};
  size_t i = 0;
  for (int f = 0; f < 3; ++f) {
    const size_t n = leadingDigits(token, i);
    if (f == 2 && n >= 3) return Match::invalid;  // seconds of three digits: not a date at all
    if (n == 0 || n > 2) return Match::no;
    fields[f] = digitsValue(token.substr(i, n));
    i += n;
    if (f < 2) {
      if (i >= token.size() || token[i] != u':') return Match::no;
      ++i;
    }
  }
  p.hour = fields[0];
  p.minute = fields[1];
  p.second = fields[2];
  return Match::yes;
}

// 1*2DIGIT, then a non-digit or the end; three or more leading digits make the date invalid.
Match matchSmallNumber(std::u16string_view token, int& value) {
  const size_t n = leadingDigits(token);
  if (n == 0) return Match::no;
  if (n >= 3) return Match::invalid;
  value = digitsValue(token.substr(0, n));
  return Match::yes;
}

Match matchMonth(std::u16string_view token, Parts& p) {
  if (token.size() >= 3) {
    for (size_t m = 0; m < kMonths.size(); ++m) {
      if (SameTextAscii(token.substr(0, 3), kMonths[m])) {
        p.month = static_cast<int>(m) + 1;
        return Match::yes;
      }
    }
  }
  int value = 0;
  const Match numeric = matchSmallNumber(token, value);
  if (numeric != Match::yes) return numeric;
  if (value < 1 || value > 12) return Match::no;
  p.month = value;
  return Match::yes;
}

bool matchYear(std::u16string_view token, Parts& p) {
  if (token.size() < 2 || token.size() > 4 || leadingDigits(token) != token.size()) return false;
  p.year = digitsValue(token);
  if (p.year >= 70 && p.year <= 99) {
    p.year += 1900;
  } else if (p.year <= 69) {
    p.year += 2000;
  }
  return true;
}

// Tries one token against the parts still missing, in the order time, day, month, year.
bool takeToken(std::u16string_view token, Parts& p) {
  if (!p.hasTime) {
    const Match m = matchTime(token, p);
    if (m == Match::invalid) return false;
    if (m == Match::yes) {
      p.hasTime = true;
      return true;
    }
  }
  if (!p.hasDay) {
    const Match m = matchSmallNumber(token, p.day);
    if (m == Match::invalid) return false;
    if (m == Match::yes) {
      p.hasDay = true;
      return true;
    }
  }
  if (!p.hasMonth) {
    const Match m = matchMonth(token, p);
    if (m == Match::invalid) return false;
    if (m == Match::yes) {
      p.hasMonth = true;
      return true;
    }
  }
  if (!p.hasYear && matchYear(token, p)) p.hasYear = true;
  return true;
}

}  // namespace

TDateTime AddSecondsClamped(TDateTime base, long long seconds) {
  using Duration = TDateTime::duration;
  static_assert(std::is_same_v<Duration::period, std::nano> && sizeof(Duration::rep) == 8);
  // 128 bits hold any 64-bit count of seconds in nanoseconds.
  const __int128 sum =
      static_cast<__int128>(base.time_since_epoch().count()) + static_cast<__int128>(seconds) * 1'000'000'000;
  if (sum > std::numeric_limits<Duration::rep>::max()) return TDateTime::max();
  if (sum < std::numeric_limits<Duration::rep>::min()) return TDateTime::min();
  return TDateTime(Duration(static_cast<Duration::rep>(sum)));
}

std::optional<TDateTime> ParseCookieDate(std::u16string_view text) {
  Parts p;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isDelimiter(text[i])) ++i;
    const size_t begin = i;
    while (i < text.size() && !isDelimiter(text[i])) ++i;
    if (i > begin && !takeToken(text.substr(begin, i - begin), p)) return std::nullopt;
  }
  if (!p.hasTime || !p.hasDay || !p.hasMonth || !p.hasYear) return std::nullopt;
  if (p.day < 1 || p.day > 31 || p.month < 1 || p.month > 12 || p.year < 1601) return std::nullopt;
  if (p.hour > 23 || p.minute > 59 || p.second > 59) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year{p.year}, std::chrono::month{static_cast<unsigned>(p.month)},
                                         std::chrono::day{static_cast<unsigned>(p.day)}};
  if (!date.ok()) return std::nullopt;  // 30 February, 31 April, 29 February of a common year
  const long long days = std::chrono::sys_days(date).time_since_epoch().count();
  return AddSecondsClamped(TDateTime{}, days * 86400 + p.hour * 3600 + p.minute * 60 + p.second);
}

}  // namespace tessarine::client
