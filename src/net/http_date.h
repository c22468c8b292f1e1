#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tessarine::net {

// A point in time; the zero value (the clock's epoch) means "not set".
using TDateTime = std::chrono::system_clock::time_point;

inline bool DateIsSet(TDateTime value) { return value > TDateTime{}; }

// RFC 1123 form in GMT with English names, e.g. "Sun, 06 Nov 1994 08:49:37 GMT"; independent of the locale.
std::u16string DateTimeToHttpStr(TDateTime value);

// Reads the RFC 1123, RFC 850 and asctime forms (a numeric zone offset is applied); the zero value when the
// text is not a date.
TDateTime HttpStrToDateTime(std::u16string_view text);

}  // namespace tessarine::net
