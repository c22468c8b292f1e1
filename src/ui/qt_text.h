#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace tessarine::ui {

// QString and the program's text are both UTF-16: the conversions copy code units unchanged.
inline QString ToQString(std::u16string_view text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

inline std::u16string FromQString(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
}

}  // namespace tessarine::ui
