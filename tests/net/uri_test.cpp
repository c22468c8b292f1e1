#include "net/uri.h"

#include <gtest/gtest.h>

#include "common/text.h"

using namespace tessarine;
using namespace tessarine::net;

TEST(URIParse, AbsoluteUrlFields) {
  const TIdURI uri(u"http://host/a/b/c.php?x=1#top");
  EXPECT_EQ(uri.Protocol, u"http");
  EXPECT_EQ(uri.Host, u"host");
  EXPECT_EQ(uri.Port, u"");
  EXPECT_EQ(uri.Path, u"/a/b/");
  EXPECT_EQ(uri.Document, u"c.php");
  EXPECT_EQ(uri.Params, u"x=1");
  EXPECT_EQ(uri.Bookmark, u"top");
  EXPECT_EQ(uri.IPVersion, Id_IPv4);
  EXPECT_EQ(uri.GetPathAndParams(), u"/a/b/c.php?x=1");
}

TEST(URIParse, HostOnlyGivesRootPath) {
  const TIdURI uri(u"http://host?x=1");
  EXPECT_EQ(uri.Path, u"/");
  EXPECT_EQ(uri.Document, u"");
  EXPECT_EQ(uri.GetPathAndParams(), u"/?x=1");
  EXPECT_EQ(TIdURI(u"https://host").GetPathAndParams(), u"/");
}

TEST(URIParse, BracketedIPv6HostAndPort) {
  const TIdURI uri(u"http://[::1]:8888/x");
  EXPECT_EQ(uri.Host, u"::1");
  EXPECT_EQ(uri.IPVersion, Id_IPv6);
  EXPECT_EQ(uri.Port, u"8888");
  EXPECT_EQ(uri.Document, u"x");
}

TEST(URIParse, UserInfo) {
  TIdURI uri(u"ftp://user:pa:ss@host:21/f");
  EXPECT_EQ(uri.Username, u"user");
  EXPECT_EQ(uri.Password, u"pa:ss");
  EXPECT_EQ(uri.Host, u"host");
  uri.SetURI(u"http://a@b@host/");
  EXPECT_EQ(uri.Username, u"a@b");
  EXPECT_EQ(uri.Host, u"host");
  uri.SetURI(u"http://:secret@host/");
  EXPECT_EQ(uri.Username, u"");
  EXPECT_EQ(uri.Password, u"");
}

TEST(URIParse, RequestTargets) {
  const TIdURI plain(u"/linxp_translate_t");
  EXPECT_EQ(plain.Path, u"/");
  EXPECT_EQ(plain.Document, u"linxp_translate_t");
  EXPECT_EQ(plain.Protocol, u"");
  const TIdURI slashes(u"/a\\b");
  EXPECT_EQ(slashes.Path + slashes.Document, u"/a/b");
  const TIdURI bare(u"doc");
  EXPECT_EQ(bare.Path, u"");
  EXPECT_EQ(bare.Document, u"doc");
}

TEST(URIParse, BackslashesOnlyBeforeQueryAndFragment) {
  const TIdURI uri(u"/a\\b?x=\\:1#\\");
  EXPECT_EQ(uri.Path, u"/a/");
  EXPECT_EQ(uri.Document, u"b");
  EXPECT_EQ(uri.Params, u"x=\\:1");
  EXPECT_EQ(uri.Bookmark, u"\\");
  EXPECT_EQ(TIdURI(u"http://h\\p\\d").GetPathAndParams(), u"/p/d");
}

TEST(URIParse, FragmentStartsAtTheFirstHash) {
  const TIdURI uri(u"/x#a?b");
  EXPECT_EQ(uri.Document, u"x");
  EXPECT_EQ(uri.Params, u"");
  EXPECT_EQ(uri.Bookmark, u"a?b");
  const TIdURI absolute(u"http://h/p#f?q");
  EXPECT_EQ(absolute.GetPathAndParams(), u"/p");
}

TEST(URIParse, ReparsingClearsOldFields) {
  TIdURI uri(u"https://u:p@[::1]:1/a/b?c#d");
  uri.SetURI(u"/x");
  EXPECT_EQ(uri.Protocol + uri.Host + uri.Port + uri.Username + uri.Password + uri.Params + uri.Bookmark, u"");
  EXPECT_EQ(uri.IPVersion, Id_IPv4);
}

TEST(URIParse, OddInputNeverBreaksTheParser) {
  for (auto text : {u"", u"://", u"[", u"http://[::1", u"http://]:[@", u"http://@", u"?#", u":\\\\", u"%", u"a:b:c"}) {
    const TIdURI uri(text);
    EXPECT_EQ(uri.GetPathAndParams().find(u'?') == std::u16string::npos, uri.Params.empty()) << ToUtf8(text);
  }
  const TIdURI unclosed(u"http://[::1/x");
  EXPECT_EQ(unclosed.Host, u"[");
  EXPECT_EQ(unclosed.IPVersion, Id_IPv4);
}

TEST(URIFullURI, DefaultPortsAreLeftOut) {
  TIdURI uri(u"http://host:80/a?b");
  EXPECT_EQ(uri.GetFullURI(), u"http://host/a?b");
  uri.Protocol = u"HTTPS";
  uri.Port = u"443";
  EXPECT_EQ(uri.GetFullURI(), u"HTTPS://host/a?b");
  uri.Port = u"80";
  EXPECT_EQ(uri.GetFullURI(), u"HTTPS://host:80/a?b");
  EXPECT_EQ(TIdURI(u"ftp://h:21/").GetFullURI(), u"ftp://h/");
  EXPECT_EQ(TIdURI(u"ftp://u:p@h:2121/f").GetFullURI(), u"ftp://u:p@h:2121/f");
  EXPECT_EQ(TIdURI(u"http://u@[::1]:8888/x#y").GetFullURI(), u"http://u@[::1]:8888/x");
}

TEST(URIFullURI, MissingProtocolOrHostRaises) {
  TIdURI uri(u"/a");
  try {
    uri.GetFullURI();
    FAIL();
  } catch (const EIdURIException& e) {
    EXPECT_EQ(e.Message(), u"Protocol field is empty");
  }
  uri.Protocol = u"http";
  try {
    uri.GetFullURI();
    FAIL();
  } catch (const EIdURIException& e) {
    EXPECT_EQ(e.Message(), u"Host field is empty");
  }
}

TEST(URLDecode, PercentEscapesBecomeBytesOfTheEncoding) {
  EXPECT_EQ(TIdURI::URLDecode(u"%D0%9F", IndyTextEncoding_8Bit()), u"\u00D0\u009F");
  EXPECT_EQ(TIdURI::URLDecode(u"%d0%9f", IndyTextEncoding_UTF8()), u"\u041F");
  EXPECT_EQ(TIdURI::URLDecode(u"%D0%9F"), u"\u041F");
  EXPECT_EQ(TIdURI::URLDecode(u"en%7Cru", IndyTextEncoding_8Bit()), u"en|ru");
  EXPECT_EQ(TIdURI::URLDecode(u"a+b%2B", IndyTextEncoding_8Bit()), u"a+b+");
}

TEST(URLDecode, BrokenEscapesVanish) {
  const auto bit8 = IndyTextEncoding_8Bit();
  EXPECT_EQ(TIdURI::URLDecode(u"a%zzb", bit8), u"ab");
  EXPECT_EQ(TIdURI::URLDecode(u"a%4", bit8), u"a");
  EXPECT_EQ(TIdURI::URLDecode(u"a%", bit8), u"a");
  EXPECT_EQ(TIdURI::URLDecode(u"%4g1", bit8), u"1");
  EXPECT_EQ(TIdURI::URLDecode(u"%uZZZZx", bit8), u"x");
  EXPECT_EQ(TIdURI::URLDecode(u"%u12", bit8), u"");
}

TEST(URLDecode, UnicodeEscapesGoThroughTheEncoding) {
  EXPECT_EQ(TIdURI::URLDecode(u"%u041F%U041f", IndyTextEncoding_UTF8()), u"\u041F\u041F");
  EXPECT_EQ(TIdURI::URLDecode(u"%u041F", IndyTextEncoding_8Bit()), u"?");
  EXPECT_EQ(TIdURI::URLDecode(u"%uD83D%uDE00", IndyTextEncoding_UTF8()), u"\U0001F600");
  EXPECT_EQ(TIdURI::URLDecode(u"%uD83Dx", IndyTextEncoding_UTF8()), u"\uFFFDx");
}

TEST(URLDecode, OtherCharactersContributeTheirLowByte) {
  EXPECT_EQ(TIdURI::URLDecode(u"\uFFFD", IndyTextEncoding_8Bit()), u"\u00FD");
  EXPECT_EQ(TIdURI::URLDecode(u"\u041F", IndyTextEncoding_8Bit()), u"\u001F");
  EXPECT_EQ(TIdURI::URLDecode(u"\u00D0%9F", IndyTextEncoding_UTF8()), u"\u041F");
}
