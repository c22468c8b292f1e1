#include "translate/babylon_table.h"

#include <utility>

namespace tessarine::translate {

namespace {

TStringList BuildEntries() {
  static constexpr std::pair<const char16_t*, const char16_t*> kLanguages[] = {
      {u"0", u"en"},     {u"15", u"ar"},   {u"1", u"fr"},  {u"6", u"de"},  {u"11", u"el"},    {u"2", u"it"},
      {u"8", u"ja"},     {u"5", u"pt-PT"}, {u"7", u"ru"},  {u"3", u"es"},  {u"344", u"es-c"}, {u"13", u"tr"},
      {u"10", u"zh-CN"}, {u"9", u"zh-TW"}, {u"31", u"cs"}, {u"43", u"da"}, {u"4", u"nl"},     {u"14", u"iw"},
      {u"60", u"hi"},    {u"30", u"hu"},   {u"12", u"ko"}, {u"46", u"no"}, {u"51", u"fa"},    {u"29", u"pl"},
      {u"47", u"ro"},    {u"22", u"sv"},   {u"24", u"uk"},
  };
  TStringList entries;
  for (const auto& [id, code] : kLanguages) {
    entries.Add(std::u16string(id) + u": \"" + code + u"\",");
  }
  return entries;
}

}  // namespace

TBabylonTable::TBabylonTable() : m_entries(BuildEntries()) {}

std::u16string TBabylonTable::BabylonLangId(std::u16string_view code) const {
  std::u16string id;
  if (code.empty()) return id;
  // No early exit: when several entries contain the code, the last one wins (es gives 344).
  for (const std::u16string& entry : m_entries) {
    if (entry.find(code) != std::u16string::npos) id = entry.substr(0, entry.find(u':'));
  }
  return id;
}

}  // namespace tessarine::translate
