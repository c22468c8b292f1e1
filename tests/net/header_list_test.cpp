#include "net/header_list.h"

#include <gtest/gtest.h>

#include "common/exception.h"

using namespace tessarine;
using namespace tessarine::net;

namespace {

TIdHeaderList lines(std::initializer_list<std::u16string> raw) {
  TIdHeaderList list;
  for (const auto& line : raw) list.Add(line);
  return list;
}

}  // namespace

TEST(HeaderLookup, NamesMatchWithoutCaseButUntrimmed) {
  const auto list = lines({u"Host : x", u"Accept: text/html", u"no colon here", u": nameless"});
  EXPECT_EQ(list.Values(u"Host"), u"");
  EXPECT_EQ(list.Values(u"Host "), u"x");
  EXPECT_EQ(list.Values(u"accept"), u"text/html");
  EXPECT_EQ(list.Values(u"no colon here"), u"");
  EXPECT_EQ(list.Values(u""), u"");
  EXPECT_EQ(list.IndexOfName(u"ACCEPT"), 1);
  EXPECT_EQ(list.Names(0), u"Host ");
  EXPECT_EQ(list.Names(2), u"");
}

TEST(HeaderLookup, ValueIsTrimmedAndTakesContinuationLines) {
  const auto list = lines({u"X-A:\t  one  ", u"  two", u"\tthree ", u"X-B:", u" folded", u"X-A: second"});
  EXPECT_EQ(list.Values(u"x-a"), u"one   two three");
  EXPECT_EQ(list.Values(u"X-B"), u"folded");
  EXPECT_EQ(list.ValueFromIndex(5), u"second");
  EXPECT_TRUE(list.IsContinuation(1));
  EXPECT_FALSE(list.IsContinuation(3));
}

TEST(HeaderLookup, ExtractGivesEveryValueInOrder) {
  const auto list = lines({u"Set-Cookie: a=1", u"Other: x", u"set-cookie: b=2;", u" path=/", u"Set-Cookie : no"});
  TStringList values;
  list.Extract(u"Set-Cookie", values);
  EXPECT_EQ(values, (TStringList{u"a=1", u"b=2; path=/"}));
}

TEST(HeaderEdit, AddValueAppendsRawLines) {
  TIdHeaderList list;
  list.AddValue(u"Accept", u"a");
  list.AddValue(u"Accept", u"b");
  list.AddValue(u"", u"x");
  list.AddValue(u"Empty", u"");
  EXPECT_EQ(static_cast<const TStringList&>(list), (TStringList{u"Accept: a", u"Accept: b"}));
  EXPECT_EQ(TIdHeaderList::NameValueSeparator, u": ");
}

TEST(HeaderEdit, SetValueReplacesOnlyTheFirstLineInPlace) {
  auto list = lines({u"Host: h", u"Accept: a", u"Accept: b"});
  list.SetValue(u"accept", u"c");
  EXPECT_EQ(static_cast<const TStringList&>(list), (TStringList{u"Host: h", u"accept: c", u"Accept: b"}));
  list.SetValue(u"User-Agent", u"u");
  EXPECT_EQ(list[3], u"User-Agent: u");
}

TEST(HeaderEdit, SetValueWithEmptyValueDeletesTheFirstLine) {
  auto list = lines({u"Accept: a", u"Host: h", u"Accept: b"});
  list.SetValue(u"Accept", u"");
  EXPECT_EQ(static_cast<const TStringList&>(list), (TStringList{u"Host: h", u"Accept: b"}));
  list.SetValue(u"Missing", u"");
  list.SetValue(u"", u"v");
  EXPECT_EQ(list.Count(), 2);
}

TEST(HeaderEdit, ContinuationLinesGoWithTheirLine) {
  auto list = lines({u"A: 1", u" more", u"B: 2", u"C: 3", u"\tmore"});
  list.SetValue(u"A", u"x");
  list.SetValue(u"C", u"");
  EXPECT_EQ(static_cast<const TStringList&>(list), (TStringList{u"A: x", u"B: 2"}));
  EXPECT_EQ(list.Values(u"A"), u"x");
}

TEST(HeaderEdit, WorksAsAPlainStringList) {
  TIdHeaderList list;
  TStringList& base = list;
  base.Add(u"Host: h");
  base.Add(u"Accept: a");
  std::u16string joined;
  for (const auto& line : list) joined += line + u"|";
  EXPECT_EQ(joined, u"Host: h|Accept: a|");
  EXPECT_THROW(list.ValueFromIndex(2), EStringListError);
  list.Clear();
  EXPECT_EQ(list.Values(u"Host"), u"");
  EXPECT_TRUE(list.Empty());
}
