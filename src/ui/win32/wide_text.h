#pragma once

#include <string>

namespace tessarine::ui::win32 {

// Text is UTF-16 on both sides: wchar_t is 16 bits wide on Windows, so each code unit is copied as it is.
inline std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }
inline std::u16string FromWide(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace tessarine::ui::win32
