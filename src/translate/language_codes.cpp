#include "translate/language_codes.h"

#include "common/text.h"

namespace tessarine::translate {

std::vector<std::u16string> LanguageSubtags(std::u16string_view code) {
  std::vector<std::u16string> subtags{{}};
  for (char16_t c : Trim(code)) {
    if (c == u'-' || c == u'_') {
      subtags.emplace_back();
    } else {
      subtags.back() += ToLowerAscii(c);
    }
  }
  return subtags;
}

bool HasSubtag(const std::vector<std::u16string>& subtags, std::initializer_list<std::u16string_view> any) {
  for (size_t i = 1; i < subtags.size(); ++i) {
    for (std::u16string_view wanted : any) {
      if (subtags[i] == wanted) return true;
    }
  }
  return false;
}

bool IsTraditionalChinese(const std::vector<std::u16string>& subtags) {
  return subtags[0] == u"zh" && HasSubtag(subtags, {u"hant", u"tw", u"hk", u"mo"});
}

}  // namespace tessarine::translate
