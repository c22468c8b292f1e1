#include "net/charset_registry.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "common/exception.h"
#include "common/text.h"
#include "net/text_encoding.h"

using namespace tessarine;
using namespace tessarine::net;

TEST(CharsetRegistry, TellingRows) {
  const std::pair<const char16_t*, int> rows[] = {
      {u"US-ASCII", 20127},    {u"ASCII", 20127},       {u"us", 20127},         {u"ISO-8859-1", 28591},
      {u"ISO_8859-1", 28591},  {u"latin1", 28591},      {u"l1", 28591},         {u"IBM819", 28591},
      {u"CP819", 28591},       {u"csISOLatin1", 28591}, {u"ISO-8859-5", 28595}, {u"KOI8-R", 20866},
      {u"windows-1251", 1251}, {u"windows-1252", 1252}, {u"UTF-8", 65001},      {u"UTF-16", 1200},
      {u"UTF-16LE", 1200},     {u"UTF-16BE", 1201},     {u"UTF-7", 65000},      {u"Shift_JIS", 932},
      {u"GB2312", 936},        {u"Big5", 950},          {u"EUC-JP", 20932},     {u"ISO-2022-JP", 50220},
  };
  for (const auto& [name, codePage] : rows) {
    SCOPED_TRACE(ToUtf8(name));
    EXPECT_EQ(CharsetCodePage(name), codePage);
    EXPECT_EQ(CharsetCodePage(UpperCaseAscii(name)), codePage);
    EXPECT_EQ(CharsetCodePage(LowerCaseAscii(name)), codePage);
  }
}

TEST(CharsetRegistry, NamesThatAreNotRegistered) {
  for (auto name : {u"UTF8", u"cp1252", u"", u"UTF", u"UTF-8 ", u" UTF-8", u"\u00DCTF-8", u"zzzz"}) {
    EXPECT_EQ(CharsetCodePage(name), std::nullopt) << ToUtf8(name);
  }
  EXPECT_EQ(CharsetCodePage(std::u16string_view(u"utf-8\0", 6)), std::nullopt);
  EXPECT_EQ(CharsetCodePage(u"ISO-8859-10"), 0);
}

TEST(CharsetRegistry, TableIsSortedUniqueAndPrintable) {
  const auto entries = CharsetRegistryEntries();
  ASSERT_GT(entries.size(), 800u);
  std::set<int> codePages;
  size_t unmapped = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::u16string name = LowerCaseAscii(Widen(entries[i].name));
    for (char16_t c : name) {
      ASSERT_TRUE(c > u' ' && c < 0x7F) << entries[i].name;
    }
    if (i > 0) {
      ASSERT_LT(LowerCaseAscii(Widen(entries[i - 1].name)), name);
    }
    ASSERT_GE(entries[i].codePage, 0);
    if (entries[i].codePage == 0) ++unmapped;
    codePages.insert(entries[i].codePage);
    // The binary search finds every row.
    ASSERT_EQ(CharsetCodePage(name), entries[i].codePage) << entries[i].name;
  }
  RecordProperty("names", static_cast<int>(entries.size()));
  RecordProperty("unmapped", static_cast<int>(unmapped));
  RecordProperty("codePages", static_cast<int>(codePages.size()) - 1);
}

// A registered code page either converts or raises the one documented failure, which EncodingForCharset
// turns into the 8-bit encoding.
TEST(CharsetRegistry, EveryRegisteredCodePageConvertsOrIsRefused) {
  std::set<int> codePages;
  for (const auto& entry : CharsetRegistryEntries()) {
    if (entry.codePage != 0) codePages.insert(entry.codePage);
  }
  int converted = 0;
  for (int codePage : codePages) {
    SCOPED_TRACE(codePage);
    try {
      const auto enc = IndyTextEncoding(codePage);
      EXPECT_EQ(enc->GetString(enc->GetBytes(u"AZ09")), u"AZ09");
      ++converted;
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message(), u"Invalid codepage (" + IntToStr(codePage) + u")");
    }
  }
#ifdef _WIN32
  // Wine converts fewer code pages than Windows or glibc: none of EBCDIC, for one.
  EXPECT_GT(converted, 45);
#else
  EXPECT_GT(converted, 80);
#endif
}
