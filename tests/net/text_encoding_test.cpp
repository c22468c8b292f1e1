#include "net/text_encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/exception.h"
#include "common/text.h"

using namespace tessarine;
using namespace tessarine::net;

namespace {

using Bytes = std::vector<uint8_t>;

std::u16string decode(const TIdTextEncoding& enc, const Bytes& bytes) { return enc->GetString(bytes); }

// Whether this system converts the code page (Wine lacks the tables of some that Windows has).
bool Converts(int codePage) {
  try {
    IndyTextEncoding(codePage);
    return true;
  } catch (const EIdException&) {
    return false;
  }
}

// Every conversion must agree with its own count.
void expectCountsAgree(const TIdTextEncoding& enc, std::u16string_view text, const Bytes& bytes) {
  EXPECT_EQ(enc->GetByteCount(text), enc->GetBytes(text).size());
  EXPECT_EQ(enc->GetCharCount(bytes.data(), bytes.size()), enc->GetString(bytes).size());
}

}  // namespace

TEST(SingleByteEncodings, AsciiReplacesEverythingAbove7F) {
  const auto ascii = IndyTextEncoding_ASCII();
  EXPECT_EQ(ascii->GetBytes(u"A\u00C4\u041F~"), (Bytes{'A', '?', '?', '~'}));
  EXPECT_EQ(decode(ascii, {0x41, 0xC4, 0x7F, 0x80}), u"A\uFFFD\x7F\uFFFD");
  EXPECT_EQ(IndyTextEncoding_Default(), ascii);
}

TEST(SingleByteEncodings, EightBitIsOneCharacterPerByte) {
  const auto bit8 = IndyTextEncoding_8Bit();
  EXPECT_EQ(bit8->GetBytes(u"\u00C4\u041F"), (Bytes{0xC4, '?'}));
  EXPECT_EQ(decode(bit8, {0xD0, 0x9F}), u"\u00D0\u009F");
  Bytes all(256);
  for (int b = 0; b < 256; ++b) all[static_cast<size_t>(b)] = static_cast<uint8_t>(b);
  EXPECT_EQ(bit8->GetBytes(decode(bit8, all)), all);
}

TEST(SingleByteEncodings, Latin1CodePageMapsTheFirst256CharactersToThemselves) {
  const auto latin1 = IndyTextEncoding(28591);
  std::u16string text;
  Bytes bytes;
  for (int c = 0; c < 256; ++c) {
    text += static_cast<char16_t>(c);
    bytes.push_back(static_cast<uint8_t>(c));
  }
  EXPECT_EQ(latin1->GetBytes(text), bytes);
  EXPECT_EQ(decode(latin1, bytes), text);
  // A pair is one character, so one "?"; so is an unpaired surrogate.
  EXPECT_EQ(latin1->GetBytes(u"\u041F\U0001F600\xD800x"), (Bytes{'?', '?', '?', 'x'}));
  expectCountsAgree(latin1, u"a\U0001F600\xDC00", bytes);
  EXPECT_TRUE(latin1->IsSingleByte());
}

TEST(Utf8Encoding, DecodesWellFormedAndReplacesMaximalSubparts) {
  const auto utf8 = IndyTextEncoding_UTF8();
  EXPECT_EQ(decode(utf8, {0xD0, 0x9F}), u"\u041F");
  EXPECT_EQ(decode(utf8, {0xD0}), u"\uFFFD");
  EXPECT_EQ(decode(utf8, {0xF0, 0x9F, 0x98, 0x80}), u"\U0001F600");
  // The example of Unicode 3.9, table 3-8: one U+FFFD per maximal subpart.
  const Bytes mixed{0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64};
  EXPECT_EQ(decode(utf8, mixed), u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd");
  EXPECT_EQ(decode(utf8, {0xC0, 0x80}), u"\uFFFD\uFFFD");                          // overlong
  EXPECT_EQ(decode(utf8, {0xE0, 0x80, 0x80}), u"\uFFFD\uFFFD\uFFFD");              // overlong
  EXPECT_EQ(decode(utf8, {0xED, 0xA0, 0x80}), u"\uFFFD\uFFFD\uFFFD");              // encoded surrogate
  EXPECT_EQ(decode(utf8, {0xF4, 0x90, 0x80, 0x80}), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(decode(utf8, {0xFF, 0x41}), u"\uFFFDA");
  EXPECT_EQ(decode(utf8, {0xE2, 0x82, 0x41}), u"\uFFFDA");  // a broken sequence never eats the next character
  expectCountsAgree(utf8, u"\u041F\U0001F600\xD800", mixed);
}

TEST(Utf8Encoding, SplitSequenceDecodesPerPieceAndWholeWhenJoined) {
  const auto utf8 = IndyTextEncoding_UTF8();
  const Bytes euro{'x', 0xE2, 0x82, 0xAC, 'y'};
  EXPECT_EQ(utf8->GetString(euro), u"x\u20ACy");
  for (size_t cut = 2; cut <= 3; ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(utf8->GetString(euro, 0, static_cast<ptrdiff_t>(cut)), u"x\uFFFD");
    EXPECT_EQ(utf8->GetString(euro, cut), std::u16string(4 - cut, u'\uFFFD') + u"y");
  }
}

TEST(Utf8Encoding, EncodesPairsAndReplacesUnpairedSurrogates) {
  const auto utf8 = IndyTextEncoding_UTF8();
  EXPECT_EQ(utf8->GetBytes(u"\u041F\U0001F600"), (Bytes{0xD0, 0x9F, 0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(utf8->GetBytes(u"\xD83D"
                           u"a\xDE00"),
            (Bytes{0xEF, 0xBF, 0xBD, 'a', 0xEF, 0xBF, 0xBD}));
  EXPECT_EQ(utf8->GetPreamble(), (Bytes{0xEF, 0xBB, 0xBF}));
  EXPECT_FALSE(utf8->IsSingleByte());
}

TEST(Utf8Encoding, ArbitraryBytesNeverBreakTheCounts) {
  const auto utf8 = IndyTextEncoding_UTF8();
  uint32_t seed = 12345;
  for (int round = 0; round < 500; ++round) {
    Bytes bytes(static_cast<size_t>(round % 17));
    for (auto& b : bytes) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    const std::u16string text = utf8->GetString(bytes);
    ASSERT_EQ(utf8->GetCharCount(bytes.data(), bytes.size()), text.size());
    // What decoding gives is well-formed and survives a round trip.
    ASSERT_EQ(utf8->GetString(utf8->GetBytes(text)), text);
  }
}

TEST(Utf16Encoding, BothByteOrdersWithTheirPreambles) {
  const auto le = IndyTextEncoding_UTF16LE();
  const auto be = IndyTextEncoding_UTF16BE();
  EXPECT_EQ(le->GetBytes(u"A\u041F"), (Bytes{0x41, 0x00, 0x1F, 0x04}));
  EXPECT_EQ(be->GetBytes(u"A\u041F"), (Bytes{0x00, 0x41, 0x04, 0x1F}));
  EXPECT_EQ(decode(le, {0x3D, 0xD8, 0x00, 0xDE}), u"\U0001F600");
  EXPECT_EQ(le->GetPreamble(), (Bytes{0xFF, 0xFE}));
  EXPECT_EQ(be->GetPreamble(), (Bytes{0xFE, 0xFF}));
}

TEST(Utf16Encoding, UnpairedSurrogatesAndOddBytesBecomeReplacements) {
  const auto le = IndyTextEncoding_UTF16LE();
  EXPECT_EQ(le->GetBytes(u"\xDC00"
                         u"a"),
            (Bytes{0xFD, 0xFF, 0x61, 0x00}));
  EXPECT_EQ(decode(le, {0x00, 0xD8, 0x41, 0x00}), u"\uFFFDA");
  EXPECT_EQ(decode(le, {0x41, 0x00, 0x00, 0xD8}), u"A\uFFFD");
  EXPECT_EQ(decode(le, {0x41, 0x00, 0x42}), u"A\uFFFD");
  expectCountsAgree(le, u"\xD800", {0x00, 0xDC, 0x00, 0xD8, 0x41});
}

TEST(Utf7Encoding, EncodesAsRfc2152) {
  const auto utf7 = IndyTextEncoding_UTF7();
  auto encoded = [&](std::u16string_view text) {
    const Bytes b = utf7->GetBytes(text);
    return std::string(b.begin(), b.end());
  };
  EXPECT_EQ(encoded(u"A\u2262\u0391."), "A+ImIDkQ-.");
  EXPECT_EQ(encoded(u"\u65E5\u672C\u8A9E"), "+ZeVnLIqe-");
  EXPECT_EQ(encoded(u"1+1=2"), "1+-1+AD0-2");
  EXPECT_EQ(encoded(u"\xD800"), "+//0-");
  EXPECT_EQ(utf7->GetByteCount(u"1+1=2"), 10u);
}

TEST(Utf7Encoding, DecodesRfcExamplesAndRoundTrips) {
  const auto utf7 = IndyTextEncoding_UTF7();
  auto decoded = [&](std::string_view s) { return utf7->GetString(Bytes(s.begin(), s.end())); };
  EXPECT_EQ(decoded("A+ImIDkQ."), u"A\u2262\u0391.");
  EXPECT_EQ(decoded("Hi Mom -+Jjo--!"), u"Hi Mom -\u263A-!");
  EXPECT_EQ(decoded("+ZeVnLIqe-"), u"\u65E5\u672C\u8A9E");
  const std::u16string text = u"a+b \U0001F600 ~\\ \u00E9-";
  EXPECT_EQ(utf7->GetString(utf7->GetBytes(text)), text);
}

TEST(Utf7Encoding, MalformedInputBecomesReplacements) {
  const auto utf7 = IndyTextEncoding_UTF7();
  auto decoded = [&](std::string_view s) { return utf7->GetString(Bytes(s.begin(), s.end())); };
  EXPECT_EQ(decoded("a\x80"), u"a\uFFFD");
  EXPECT_EQ(decoded("a+"), u"a\uFFFD");  // a shift with nothing in it
  EXPECT_EQ(decoded("+!"), u"\uFFFD!");
  EXPECT_EQ(decoded("+AGE-"), u"a");         // 18 bits: a unit and two zero padding bits
  EXPECT_EQ(decoded("+AGF-"), u"a\uFFFD");   // nonzero padding
  EXPECT_EQ(decoded("+2D0-x"), u"\uFFFDx");  // an unpaired high surrogate
  const std::string odd = "+AGEA";
  EXPECT_EQ(utf7->GetCharCount(reinterpret_cast<const uint8_t*>(odd.data()), odd.size()), decoded(odd).size());
}

TEST(CodePageEncodings, ConvertThroughTheSystemConverter) {
  const auto cp1251 = IndyTextEncoding(1251);
  const Bytes privet{0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2};
  EXPECT_EQ(cp1251->GetBytes(u"\u041F\u0440\u0438\u0432\u0435\u0442"), privet);
  EXPECT_EQ(decode(cp1251, privet), u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(IndyTextEncoding(1252)->GetBytes(u"\u20AC"), Bytes{0x80});
  EXPECT_EQ(IndyTextEncoding(20866)->GetBytes(u"\u041F"), Bytes{0xF0});
  const auto sjis = IndyTextEncoding(932);
  EXPECT_EQ(sjis->GetBytes(u"\u65E5\u672C"), (Bytes{0x93, 0xFA, 0x96, 0x7B}));
  EXPECT_EQ(sjis->MaxCharSize(), 2);
  EXPECT_FALSE(sjis->IsSingleByte());
}

TEST(CodePageEncodings, UnmappableCharactersBecomeTheCodePagesQuestionMark) {
  EXPECT_EQ(IndyTextEncoding(1251)->GetBytes(u"a\u00C4\U0001F600b"), (Bytes{'a', '?', '?', 'b'}));
  EXPECT_EQ(IndyTextEncoding(1252)->GetBytes(u"\xD800"), Bytes{'?'});
  // EBCDIC has its own "?".
  EXPECT_EQ(IndyTextEncoding(37)->GetBytes(u"A\u041F"), (Bytes{0xC1, 0x6F}));
  // A stateful code page returns to its initial state before the "?" and at the end.
  if (!Converts(50220)) GTEST_SKIP() << "no ISO-2022-JP on this system";
  const auto jis = IndyTextEncoding(50220);
  const Bytes nihon{0x1B, '$', 'B', 0x46, 0x7C, 0x1B, '(', 'B', '?', 0x1B, '$', 'B', 0x4B, 0x5C, 0x1B, '(', 'B'};
  EXPECT_EQ(jis->GetBytes(u"\u65E5\u20AC\u672C"), nihon);
  EXPECT_EQ(jis->GetByteCount(u"\u65E5\u20AC\u672C"), nihon.size());
}

TEST(CodePageEncodings, UndecodableBytesBecomeReplacements) {
#ifdef _WIN32
  // Windows' table of 1252 gives the five undefined bytes the C1 controls of the same value.
  EXPECT_EQ(decode(IndyTextEncoding(1252), {'a', 0x81, 'b'}), u"a\u0081b");
#else
  EXPECT_EQ(decode(IndyTextEncoding(1252), {'a', 0x81, 'b'}), u"a\uFFFDb");
#endif
  const auto sjis = IndyTextEncoding(932);
  EXPECT_EQ(decode(sjis, {'a', 0x93}), u"a\uFFFD");  // lead byte cut off at the end
  EXPECT_EQ(decode(sjis, {0x93, 0xFA, 0x96}), u"\u65E5\uFFFD");
  EXPECT_EQ(decode(IndyTextEncoding(65001), {0xD0}), u"\uFFFD");
  expectCountsAgree(sjis, u"\u65E5x", {0x93, 0xFA, 0xFF, 0x96});
}

TEST(CodePageEncodings, UnsupportedCodePagesRaise) {
  for (int codePage : {0, 720, 12345, -1}) {
    try {
      IndyTextEncoding(codePage);
      ADD_FAILURE() << codePage;
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message(), u"Invalid codepage (" + IntToStr(codePage) + u")");
    }
  }
}

TEST(CodePageEncodings, SeveralThreadsConvertAtOnce) {
  const std::u16string text = u"\u65E5\u672C\u8A9E abc \u00E9";
  // GB18030, or where the system lacks it (Wine) GBK, another converter with state of its own.
  const int codePage = Converts(54936) ? 54936 : 936;
  const Bytes expected = IndyTextEncoding(codePage)->GetBytes(text);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      const auto gb = IndyTextEncoding(codePage);
      for (int i = 0; i < 200; ++i) {
        if (gb->GetBytes(text) != expected || gb->GetString(expected) != text) ++failures[t];
        if (IndyTextEncoding_UTF8() != IndyTextEncoding(65001)) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(EncodingChoice, CodePageNumbersPickTheSharedInstances) {
  EXPECT_EQ(IndyTextEncoding(1200), IndyTextEncoding_UTF16LE());
  EXPECT_EQ(IndyTextEncoding(1201), IndyTextEncoding_UTF16BE());
  EXPECT_EQ(IndyTextEncoding(20127), IndyTextEncoding_ASCII());
  EXPECT_EQ(IndyTextEncoding(65000), IndyTextEncoding_UTF7());
  EXPECT_EQ(IndyTextEncoding(65001), IndyTextEncoding_UTF8());
  const auto latin1 = IndyTextEncoding(28591);
  ASSERT_NE(dynamic_cast<const TIdMBCSEncoding*>(latin1.get()), nullptr);
  EXPECT_EQ(dynamic_cast<const TIdMBCSEncoding&>(*latin1).CodePage(), 28591);
}

TEST(EncodingChoice, CharsetNames) {
  const auto bit8 = IndyTextEncoding_8Bit();
  EXPECT_EQ(EncodingForCharset(u""), bit8);
  EXPECT_EQ(EncodingForCharset(u"no-such-charset"), bit8);
  EXPECT_EQ(EncodingForCharset(u"UTF8"), bit8);
  EXPECT_EQ(EncodingForCharset(u"ISO-8859-10"), bit8);  // registered, no Windows code page
  EXPECT_EQ(EncodingForCharset(u"HZ-GB-2312"), bit8);   // a code page this system cannot convert
  for (auto name : {u"utf-8", u"UTF-8", u"Utf-8"}) EXPECT_EQ(EncodingForCharset(name), IndyTextEncoding_UTF8());
  EXPECT_EQ(EncodingForCharset(u"us-ascii"), IndyTextEncoding_ASCII());
  EXPECT_EQ(EncodingForCharset(u"windows-1251")->GetBytes(u"\u041F"), Bytes{0xCF});
  EXPECT_EQ(EncodingForCharset(u"iso-8859-1")->GetBytes(u"\u00FF\u0100"), (Bytes{0xFF, '?'}));
}

TEST(SubRanges, StartAndCountSelectAPart) {
  const auto bit8 = IndyTextEncoding_8Bit();
  const Bytes bytes{'a', 'b', 'c', 'd'};
  EXPECT_EQ(bit8->GetString(bytes, 1, 2), u"bc");
  EXPECT_EQ(bit8->GetString(bytes, 1), u"bcd");
  EXPECT_EQ(bit8->GetString(bytes, 4), u"");
  EXPECT_EQ(bit8->GetChars(bytes), u"abcd");
  EXPECT_EQ(bit8->GetChars(bytes, 1, 2), u"bc");
  EXPECT_THROW(bit8->GetChars(bytes, 3, 2), EIdException);
  EXPECT_EQ(bit8->GetBytes(u"abcd", 2, -1), (Bytes{'c', 'd'}));
  EXPECT_THROW(bit8->GetString(bytes, 5), EIdException);
  EXPECT_THROW(bit8->GetString(bytes, 2, 3), EIdException);
  EXPECT_THROW(bit8->GetString(bytes, 0, -2), EIdException);
  EXPECT_THROW(bit8->GetBytes(u"ab", 1, 2), EIdException);
}
