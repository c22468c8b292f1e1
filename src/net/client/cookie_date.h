#pragma once

#include <optional>
#include <string_view>

#include "net/http_date.h"

namespace tessarine::client {

// The cookie-date algorithm of RFC 6265 5.1.1, read as UTC, with these rules on top: a numeric month (1 or 2
// digits, 1 to 12) is accepted after a month name was not found; a year must be the whole token; a token
// tried as a day or a numeric month that begins with three or more digits, and a time whose seconds have
// three or more digits, make the date invalid. std::nullopt when the text is not a valid date.
// Dates outside the range of TDateTime (before 1677 or after 2262) clamp to TDateTime::min() / max().
std::optional<net::TDateTime> ParseCookieDate(std::u16string_view text);

// Seconds added to an instant, saturating at TDateTime::min() / max() instead of overflowing.
net::TDateTime AddSecondsClamped(net::TDateTime base, long long seconds);

}  // namespace tessarine::client
