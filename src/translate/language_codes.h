#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Reading the suite's language codes (en, en-GB, pt_BR, zh-Hant-TW, in any case) for engines that name a
// language's variant in codes of their own.
namespace tessarine::translate {

// A code's subtags, lower-cased, the first the base language: "zh_Hant-TW" gives zh, hant, tw; "" gives one empty.
std::vector<std::u16string> LanguageSubtags(std::u16string_view code);

// One of the subtags after the base language is one of any.
bool HasSubtag(const std::vector<std::u16string>& subtags, std::initializer_list<std::u16string_view> any);

// Traditional Chinese: the script Hant, or a region that writes it (Taiwan, Hong Kong, Macao).
bool IsTraditionalChinese(const std::vector<std::u16string>& subtags);

}  // namespace tessarine::translate
