#include "net/http_date.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <vector>

#include "common/text.h"

namespace tessarine::net {

namespace {

constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void appendTwoDigits(std::string& out, int value) {
  out += static_cast<char>('0' + value / 10 % 10);
  out += static_cast<char>('0' + value % 10);
}

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool isAlpha(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool allDigits(std::u16string_view text) {
  if (text.empty()) return false;
  for (char16_t c : text) {
    if (!isDigit(c)) return false;
  }
  return true;
}

// Small decimal numbers only: callers check the length first, so no overflow.
int toInt(std::u16string_view digits) {
  int value = 0;
  for (char16_t c : digits) value = value * 10 + (c - u'0');
  return value;
}

int monthOf(std::u16string_view word) {
  if (word.size() < 3) return 0;
  for (size_t i = 0; i < kMonths.size(); ++i) {
    if (SameTextAscii(word.substr(0, 3), Widen(kMonths[i]))) return static_cast<int>(i) + 1;
  }
  return 0;
}

struct Fields {
  int day = -1, month = 0, year = -1;
  int hour = -1, minute = 0, second = 0;
  int offsetMinutes = 0;
};

bool readTime(std::u16string_view token, Fields& f) {
  std::vector<int> parts;
  size_t start = 0;
  while (start <= token.size()) {
    size_t colon = token.find(u':', start);
    if (colon == std::u16string_view::npos) colon = token.size();
    const std::u16string_view part = token.substr(start, colon - start);
    if (!allDigits(part) || part.size() > 2) return false;
    parts.push_back(toInt(part));
    start = colon + 1;
  }
  if (parts.size() < 2 || parts.size() > 3) return false;
  f.hour = parts[0];
  f.minute = parts[1];
  f.second = parts.size() == 3 ? parts[2] : 0;
  return f.hour < 24 && f.minute < 60 && f.second <= 60;
}

void readWord(std::u16string_view token, Fields& f) {
  if (allDigits(token)) {
    if (f.day < 0 && token.size() <= 2) {
      f.day = toInt(token);
    } else if (f.year < 0 && token.size() <= 4) {
      f.year = toInt(token);
      // RFC 6265 5.1.1: two-digit years 70-99 are 19xx, 00-69 20xx.
      if (token.size() <= 2) f.year += f.year >= 70 ? 1900 : 2000;
    }
    return;
  }
  if (f.month == 0) f.month = monthOf(token);
}

}  // namespace

std::u16string DateTimeToHttpStr(TDateTime value) {
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::time_point_cast<std::chrono::seconds>(value));
  std::tm t{};
  if (gmtime_r(&seconds, &t) == nullptr) return {};
  std::string out;
  out.reserve(29);
  out += kWeekdays[static_cast<size_t>(t.tm_wday) % 7];
  out += ", ";
  appendTwoDigits(out, t.tm_mday);
  out += ' ';
  out += kMonths[static_cast<size_t>(t.tm_mon) % 12];
  out += ' ';
  const int year = t.tm_year + 1900;
  appendTwoDigits(out, year / 100);
  appendTwoDigits(out, year % 100);
  out += ' ';
  appendTwoDigits(out, t.tm_hour);
  out += ':';
  appendTwoDigits(out, t.tm_min);
  out += ':';
  appendTwoDigits(out, t.tm_sec);
  out += " GMT";
  return Widen(out);
}

TDateTime HttpStrToDateTime(std::u16string_view text) {
  Fields f;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == u' ' || text[i] == u',' || text[i] == u'\t')) ++i;
    const size_t begin = i;
    while (i < text.size() && text[i] != u' ' && text[i] != u',' && text[i] != u'\t') ++i;
    const std::u16string_view token = text.substr(begin, i - begin);
    if (token.empty()) continue;
    if (token.find(u':') != std::u16string_view::npos) {
      if (!readTime(token, f)) return {};
    } else if ((token[0] == u'+' || token[0] == u'-') && token.size() == 5 && allDigits(token.substr(1))) {
      const int hhmm = toInt(token.substr(1));
      f.offsetMinutes = (hhmm / 100 * 60 + hhmm % 100) * (token[0] == u'-' ? -1 : 1);
    } else {
      // RFC 850 writes the date as one token, 06-Nov-94.
      size_t start = 0;
      while (start <= token.size()) {
        size_t dash = token.find(u'-', start);
        if (dash == std::u16string_view::npos) dash = token.size();
        const std::u16string_view part = token.substr(start, dash - start);
        if (!part.empty() && (isDigit(part[0]) || isAlpha(part[0]))) readWord(part, f);
        start = dash + 1;
      }
    }
  }
  if (f.day < 1 || f.month == 0 || f.year < 0 || f.hour < 0) return {};
  using namespace std::chrono;
  const year_month_day date{year{f.year}, month{static_cast<unsigned>(f.month)}, day{static_cast<unsigned>(f.day)}};
  if (!date.ok()) return {};
  const sys_seconds point =
      sys_days{date} + hours{f.hour} + minutes{f.minute} + seconds{std::min(f.second, 59)} - minutes{f.offsetMinutes};
  // The clock counts nanoseconds, about 292 years either side of 1970; "Expires: ... 9999" is common.
  constexpr auto kLimit = duration_cast<seconds>(system_clock::duration::max()) - seconds{1};
  if (point.time_since_epoch() >= kLimit) return TDateTime::max();
  if (point.time_since_epoch() <= -kLimit) return {};
  return time_point_cast<system_clock::duration>(point);
}

}  // namespace tessarine::net
