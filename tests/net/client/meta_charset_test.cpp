#include "net/client/meta_charset.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace tessarine;
using namespace tessarine::client;

namespace {

struct MetaResult {
  std::u16string charset;
  std::vector<std::u16string> lines;
};

// Through an exactly sized heap copy, so a read past the end is caught by the address sanitizer.
MetaResult meta(const std::string& html) {
  auto copy = std::make_unique<uint8_t[]>(html.size());
  std::copy(html.begin(), html.end(), copy.get());
  net::TIdHeaderList lines;
  MetaResult result;
  result.charset = ParseMetaHTTPEquiv(copy.get(), html.size(), lines);
  result.lines = lines.Items();
  return result;
}

std::u16string xml(const std::string& bytes) {
  auto copy = std::make_unique<uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return XmlCharSet(copy.get(), bytes.size());
}

using Lines = std::vector<std::u16string>;

const std::string kPage =
    "<!DOCTYPE html>\n<html lang=ru><head>\n"
    "<title>Meta <meta charset=wrong> in a title</title>\n"
    "<!-- <meta http-equiv=\"X-Commented\" content=\"out\"> -->\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">\n"
    "<link rel=stylesheet href=\"a>b.css\">\n"
    "<script>var s = '<meta charset=\"script\">';</script>\n"
    "<META charset='utf-8' />\n"
    "<meta http-equiv=refresh content=\"5; url=/next\"/>\n"
    "</head><body><meta http-equiv=\"X-In-Body\" content=\"still head state\"></body></html>";

// ASCII text in a wide form: `width` bytes per character, the character in byte `at` of each, zeros elsewhere.
std::string widened(const std::string& text, size_t width, size_t at) {
  std::string bytes;
  for (char c : text) {
    std::string unit(width, '\0');
    unit[at] = c;
    bytes += unit;
  }
  return bytes;
}

}  // namespace

TEST(MetaTags, HeadMetaTagsGiveLinesAndCharset) {
  const MetaResult result = meta(kPage);
  EXPECT_EQ(result.charset, u"utf-8");
  EXPECT_EQ(result.lines, (Lines{u"Content-Type: text/html; charset=windows-1251", u"refresh: 5; url=/next",
                                 u"X-In-Body: still head state"}));
}

TEST(MetaTags, ScanStatesFollowHtmlHeadTitleAndBody) {
  const std::string tag = "<meta charset=found>";
  // Nothing counts before HTML, nor outside HEAD.
  EXPECT_EQ(meta("<head>" + tag + "</head>").charset, u"");
  EXPECT_EQ(meta("<html>" + tag + "<head></head>").charset, u"");
  EXPECT_EQ(meta("<HTML><HEAD>" + tag).charset, u"found");
  // BODY before HEAD ends the scan; a TITLE before HEAD stops every later tag from counting.
  EXPECT_EQ(meta("<html><body><head>" + tag).charset, u"");
  EXPECT_EQ(meta("<html><title>x</title><head>" + tag).charset, u"");
  // Tag names are whole runs of name characters.
  EXPECT_EQ(meta("<html-x><head>" + tag).charset, u"");
  EXPECT_EQ(meta("<html><head><metadata charset=no><meta:x charset=no>").charset, u"");
  // Unclosed script or comment hides the rest.
  EXPECT_EQ(meta("<html><head><script>" + tag).charset, u"");
  EXPECT_EQ(meta("<html><head><!--" + tag + "--").charset, u"");
  EXPECT_EQ(meta("<html><head><SCRIPT></Script >" + tag).charset, u"found");
}

TEST(MetaTags, OnlyAFirstAttributeHttpEquivOrCharsetCounts) {
  const MetaResult late = meta("<html><head><meta name=x charset=late><meta content=x http-equiv=Late>");
  EXPECT_EQ(late.charset, u"");
  EXPECT_TRUE(late.lines.empty());
  EXPECT_EQ(meta("<html><head><meta\tCharSet = \"koi8-r\">").charset, u"koi8-r");
  EXPECT_EQ(meta("<html><head><meta charset=a><meta charset=b>").charset, u"b");
  // A bare value is a run of name characters.
  EXPECT_EQ(meta("<html><head><meta charset=iso-8859-5;x>").charset, u"iso-8859-5");
}

TEST(MetaTags, ContentValueForms) {
  auto line = [](const std::string& attributes) {
    const MetaResult result = meta("<html><head><meta http-equiv=X " + attributes + ">");
    return result.lines.size() == 1 ? result.lines[0] : std::u16string(u"(not one line)");
  };
  EXPECT_EQ(line("content=\"a b\""), u"X: a b");
  EXPECT_EQ(line("CONTENT='a \"b\"'"), u"X: a \"b\"");
  EXPECT_EQ(line("content=bare/value"), u"X: bare/value");
  EXPECT_EQ(line("lang=en / content=\"after\" id=\"z\""), u"X: after");
  // An inner pair of quotes: the text after the second quote up to the third belongs to the value.
  EXPECT_EQ(line("content=\"text/html; charset=\"utf-8\"\""), u"X: text/html; charset=utf-8");
  // The end of the tag right after the closing quote is not such a continuation.
  EXPECT_EQ(line("content=\"text/html\"><title>\"x\"</title"), u"X: text/html");
  EXPECT_EQ(line("content=\"text/html\"/"), u"X: text/html");
  EXPECT_EQ(line(""), u"X:");
  // Bytes above 0x7F are characters of the same number.
  EXPECT_EQ(line("content=\"caf\xE9\""), u"X: caf\u00E9");
}

TEST(MetaTags, TruncatedBodiesEndTheScanSafely) {
  for (size_t n = 0; n <= kPage.size(); ++n) {
    const MetaResult result = meta(kPage.substr(0, n));
    EXPECT_LE(result.lines.size(), 3u);
  }
  EXPECT_EQ(meta("<html><head><meta charset=\"utf").charset, u"utf");
  EXPECT_EQ(meta("<html><head><meta http-equiv=\"X\" content=\"a\"b").lines, Lines{u"X: ab"});
  EXPECT_EQ(meta("<html><head><meta http-equiv").lines, Lines{});
  EXPECT_EQ(meta("<").charset, u"");
}

TEST(XmlCharset, ByteOrderMarksDecideFirst) {
  using namespace std::string_literals;
  EXPECT_EQ(xml("\x00\x00\xFE\xFF"s), u"UCS-4BE");
  EXPECT_EQ(xml("\x00\x00\xFF\xFE"s), u"");
  EXPECT_EQ(xml("\xFF\xFE\x00\x00"s), u"UCS-4LE");
  EXPECT_EQ(xml("\xFE\xFF\x00\x00"s), u"");
  EXPECT_EQ(xml("\xFE\xFF\x00<"s), u"UTF-16BE");
  EXPECT_EQ(xml("\xFF\xFE<\x00"s), u"UTF-16LE");
  EXPECT_EQ(xml("\xFF\xFE"s), u"UTF-16LE");
  EXPECT_EQ(xml("\xEF\xBB\xBF<?xml version='1.0' encoding='koi8-r'?>"s), u"UTF-8");
}

TEST(XmlCharset, DeclarationInEachForm) {
  const std::string decl = "<?xml version=\"1.0\" encoding = ' ISO-8859-5 ' standalone='yes'?><a/>";
  EXPECT_EQ(xml(decl), u"ISO-8859-5");
  EXPECT_EQ(xml(widened(decl, 4, 3)), u"ISO-8859-5");  // UCS-4 big-endian
  EXPECT_EQ(xml(widened(decl, 4, 0)), u"ISO-8859-5");  // little-endian
  EXPECT_EQ(xml(widened(decl, 4, 2)), u"ISO-8859-5");  // 2143
  EXPECT_EQ(xml(widened(decl, 4, 1)), u"ISO-8859-5");  // 3412
  EXPECT_EQ(xml(widened(decl, 2, 1)), u"ISO-8859-5");  // UTF-16 big-endian
  EXPECT_EQ(xml(widened(decl, 2, 0)), u"ISO-8859-5");  // little-endian
  // <?xml version='1.0' encoding='IBM037'?> in EBCDIC.
  const std::string ebcdic = {'\x4C', '\x6F', '\xA7', '\x94', '\x93', '\x40', '\xA5', '\x85', '\x99', '\xA2',
                              '\x89', '\x96', '\x95', '\x7E', '\x7D', '\xF1', '\x4B', '\xF0', '\x7D', '\x40',
                              '\x85', '\x95', '\x83', '\x96', '\x84', '\x89', '\x95', '\x87', '\x7E', '\x7D',
                              '\xC9', '\xC2', '\xD4', '\xF0', '\xF3', '\xF7', '\x7D', '\x6F', '\x6E'};
  EXPECT_EQ(xml(ebcdic), u"IBM037");
}

TEST(XmlCharset, DefaultsToUtf8WithoutAUsableEncoding) {
  EXPECT_EQ(xml(""), u"UTF-8");
  EXPECT_EQ(xml("<root/>"), u"UTF-8");
  EXPECT_EQ(xml("<?xml version='1.0'?><a encoding='x'/>"), u"UTF-8");  // only the declaration counts
  EXPECT_EQ(xml("<?xml encoding=\"   \"?>"), u"UTF-8");
  EXPECT_EQ(xml("<?xml encoding=utf-16?>"), u"UTF-8");
  EXPECT_EQ(xml("  <?xml encoding='koi8-r'?>"), u"UTF-8");
  const std::string decl = "<?xml version='1.0' encoding='windows-1251'?>";
  for (size_t n = 0; n < decl.size() - 3; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(xml(decl.substr(0, n)), u"UTF-8");
  }
  EXPECT_EQ(xml(decl.substr(0, decl.size() - 2)), u"windows-1251");  // no ">" needed
  // Cut inside a character of a wide form.
  const std::string wide = widened(decl, 4, 3);
  for (size_t n = 0; n < wide.size(); ++n) xml(wide.substr(0, n));
}
