#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/stream.h"
#include "common/string_list.h"
#include "common/text.h"

namespace tessarine {
namespace {

TEST(StringList, OutOfRangeReadsRaiseTheIndexError) {
  TStringList list{u"a"};
  EXPECT_EQ(list[0], u"a");
  try {
    (void)list[1];
    FAIL() << "no exception";
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), u"List index out of bounds (1)");
  }
  TStringList empty;
  EXPECT_THROW((void)empty[0], EStringListError);
  EXPECT_THROW((void)empty[-1], EStringListError);
}

TEST(PlainUtf, RoundTripsAndReplacesMalformedInput) {
  const std::u16string text = u"\u041F\u0440\u0438 \U0001F600 A";
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
  EXPECT_EQ(FromUtf8("\xD0"), u"\uFFFD");
  EXPECT_EQ(FromUtf8("\xC0\x80"), u"\uFFFD\uFFFD");  // overlong forms are not accepted here
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
  EXPECT_EQ(Exception("Socket Error # 1\r\nx").Message(), u"Socket Error # 1\r\nx");
}

TEST(MemoryStream, WritesGrowAndReadsStopAtTheEnd) {
  TMemoryStream s;
  s.Write(std::vector<uint8_t>{1, 2, 3});
  EXPECT_EQ(s.Size(), 3);
  s.SetPosition(1);
  uint8_t buf[8];
  EXPECT_EQ(s.Read(buf, sizeof buf), 2u);
  EXPECT_EQ(buf[0], 2);
  EXPECT_EQ(s.Read(buf, sizeof buf), 0u);
  s.SetSize(1);
  EXPECT_EQ(s.Position(), 1);
}

}  // namespace
}  // namespace tessarine
