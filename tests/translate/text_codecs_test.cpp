#include <gtest/gtest.h>

#include <array>

#include "common/text.h"
#include "translate/text_codecs.h"

namespace tessarine::translate {
namespace {

using Cases = std::vector<std::pair<std::u16string, std::u16string>>;
const std::u16string kLoneHigh(1, char16_t{0xD800});

// clang-format off
TEST(EncodeUrlText, EncodesUtf8BytesAndKeepsExistingEscapes) {
  const Cases cases = {{u"a b", u"a%20b"}, {u"50%", u"50%25"}, {u"100%25", u"100%25"}, {u"x%4", u"x%254"},
                       {u"%zz", u"%25zz"}, {u"%d0", u"%d0"}, {u"~x_y.z-1", u"~x_y.z-1"}, {u"\u0416", u"%D0%96"},
                       {u"|+'&\x7F", u"%7C%2B%27%26%7F"}, {u"", u""}, {u"\U0001F600", u"%F0%9F%98%80"},
                       {kLoneHigh, u"%EF%BF%BD"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(EncodeUrlText(in), out) << ToUtf8(in);
}

// Overlong forms are accepted; a four-byte form above U+10FFFF, truncated or with a bad fourth byte
// stops decoding; F5 keeps the three-byte reading.
TEST(DecodeUtf8Chars, DecodesUpToTheFirstMalformedSequence) {
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"\xD0\x96", u"\u0416"}, {"\xE2\x82\xAC", u"\u20AC"}, {"A\xD0", u"A"}, {"\xD0Z", u""},
      {std::string("\xC0\x80", 2), std::u16string(1, u'\0')}, {"\xED\xA0\x80", kLoneHigh},
      {"x\xF0\x9F\x98\x80y", u"x\U0001F600y"}, {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"\xF0\x80\x81\x81!", u"A!"}, {"a\xF4\x90\x80\x80z", u"a"}, {"a\xF0\x9F\x98", u"a"},
      {"a\xF0\x9F\x98Z", u"a"}, {"\xF5\x80\x80Z", u"\u5000Z"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(DecodeUtf8Chars(Widen(in)), out) << in;
}
// clang-format on

TEST(TextBetween, TakesTheFirstStartAndTheNextEnd) {
  EXPECT_EQ(TextBetween(u"x", u"axbyc", u"y"), u"b");
  EXPECT_EQ(TextBetween(u"<<", u"a<<b>><<c>>", u">>"), u"b");
  for (const char16_t* source : {u"axb", u"aybxc", u"xyxzy"}) EXPECT_EQ(TextBetween(u"x", source, u"y"), u"");
  EXPECT_EQ(TextBetween(u"", u"axbyc", u"y"), u"");
  EXPECT_EQ(TextBetween(u"x", u"axbyc", u""), u"");
}

TEST(CollectBetween, CollectsItemsAndAnswersNoListWithoutAFirstPair) {
  EXPECT_EQ(CollectBetween(u"[", u"]", u"[a][b]"), (TStringList{u"a", u"b"}));
  EXPECT_EQ(CollectBetween(u"[", u"]", u"[]x]"), (TStringList{u"]x"}));
  EXPECT_EQ(CollectBetween(u"[", u"]", u"[a]x[b"), (TStringList{u"a"}));
  EXPECT_EQ(CollectBetween(u"<a>", u"</a>", u"<a>1</a><a>22</a>"), (TStringList{u"1", u"22"}));
  for (const char16_t* source : {u"abc", u"a]b]", u"[a", u"[]"}) {
    EXPECT_FALSE(CollectBetween(u"[", u"]", source).has_value()) << ToUtf8(source);
  }
  EXPECT_FALSE(CollectBetween(u"", u"]", u"a]").has_value());
}

TEST(SplitText, FillsTheGivenArrayAndDropsExtraPieces) {
  using A = std::array<std::u16string, 3>;
  const auto split = [](std::u16string_view source) {
    A out{u"-", u"-", u"-"};
    SplitText(source, u"|", out);
    return out;
  };
  EXPECT_EQ(split(u"en|ru"), (A{u"en", u"ru", u"-"}));
  EXPECT_EQ(split(u"en"), (A{u"en", u"-", u"-"}));
  EXPECT_EQ(split(u"|ru"), (A{u"", u"ru", u"-"}));
  EXPECT_EQ(split(u"en|ru|"), (A{u"en", u"ru", u""}));
  EXPECT_EQ(split(u""), (A{u"", u"-", u"-"}));
  EXPECT_EQ(split(u"a|b|c|d|e"), (A{u"a", u"b", u"c"}));
}

// clang-format off
TEST(UnescapeText, UndoesSlashAndUnicodeEscapesOnly) {
  const Cases cases = {{u"a\\u0041b", u"aAb"}, {u"\\u00e9", u"\u00E9"}, {u"a:\\/\\/b", u"a://b"},
                       {u"\\u004gX", u"\u0004X"}, {u"a\\nb\\\"", u"a\\nb\\\""}, {u"\\U0041", u"\\U0041"},
                       {u"\\\\u0041", u"\\A"}, {u"\\ud83d\\ude00", u"\U0001F600"}, {u"end\\", u"end\\"},
                       {u"", u""}, {u"ab\\u12", u"error"}, {u"\\u", u"error"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(UnescapeText(in), out) << ToUtf8(in);
}

TEST(UnescapeJsonText, UndoesEveryJsonEscape) {
  const Cases cases = {{u"a\\\"b\\\\c\\/d", u"a\"b\\c/d"}, {u"\\b\\f\\n\\r\\t", u"\b\f\n\r\t"},
                       {u"\\\\u0041", u"\\u0041"}, {u"\\u00e9\\ud83d\\ude00", u"\u00E9\U0001F600"},
                       {u"\\u004gX", u"\u0004X"}, {u"\\x\\U0041", u"\\x\\U0041"}, {u"end\\", u"end\\"},
                       {u"", u""}, {u"ab\\u12", u"error"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(UnescapeJsonText(in), out) << ToUtf8(in);
}
// clang-format on

// Well-formed sequences decode whole; any other byte is the Latin-1 character of its value, and what follows it is
// read afresh; characters above U+00FF pass.
TEST(CharactersFromUtf8Bytes, DecodesUtf8AndTakesOtherBytesForLatin1) {
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"\xD0\x96 \xE2\x82\xAC \xF0\x9F\x98\x80", u"\u0416 \u20AC \U0001F600"},
      {"caf\xE9", u"caf\u00E9"},
      {"\xE2\x82\xD0\x96", u"\u00E2\u0082\u0416"},
      {"\xC0\x80\xED\xA0\x80", u"\u00C0\u0080\u00ED\u00A0\u0080"},
      {"\xF0\x9F\x98", u"\u00F0\u009F\u0098"},
      {"", u""}};
  for (const auto& [in, out] : cases) EXPECT_EQ(CharactersFromUtf8Bytes(Widen(in)), out) << in;
  EXPECT_EQ(CharactersFromUtf8Bytes(u"\u0416" + Widen("\xD0\x96") + u"\u00E9"), u"\u0416\u0416\u00E9");
  // Encoded again, well-formed UTF-8 gives its bytes back unchanged.
  const std::string utf8 = "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF";
  EXPECT_EQ(ToUtf8(CharactersFromUtf8Bytes(Widen(utf8))), utf8);
}

}  // namespace
}  // namespace tessarine::translate
