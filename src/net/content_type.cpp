#include "net/content_type.h"

#include <vector>

#include "common/text.h"

namespace tessarine::net {

namespace {

// Splits at ";" outside double quotes.
std::vector<std::u16string_view> splitParameters(std::u16string_view value) {
  std::vector<std::u16string_view> parts;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char16_t c = value[i];
    if (c == u'"') {
      quoted = !quoted;
    } else if (c == u'\\' && quoted) {
      ++i;
    } else if (c == u';' && !quoted) {
      parts.push_back(value.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(value.substr(start));
  return parts;
}

std::u16string unquote(std::u16string_view value) {
  if (value.size() < 2 || value.front() != u'"') return std::u16string(value);
  std::u16string out;
  for (size_t i = 1; i < value.size(); ++i) {
    const char16_t c = value[i];
    if (c == u'"') break;
    if (c == u'\\' && i + 1 < value.size()) {
      out += value[++i];
    } else {
      out += c;
    }
  }
  return out;
}

bool endsWithNoCase(std::u16string_view text, std::u16string_view suffix) {
  return text.size() >= suffix.size() && SameTextAscii(text.substr(text.size() - suffix.size()), suffix);
}

std::u16string defaultCharSet(std::u16string_view contentType) {
  const std::u16string_view media = MediaTypeOf(contentType);
  const size_t slash = media.find(u'/');
  if (slash == std::u16string_view::npos || !SameTextAscii(Trim(media.substr(0, slash)), u"text")) return {};
  const std::u16string_view subtype = Trim(media.substr(slash + 1));
  if (SameTextAscii(subtype, u"xml") || SameTextAscii(subtype, u"xml-external-parsed-entity") ||
      endsWithNoCase(subtype, u"+xml"))
    return u"us-ascii";
  return u"ISO-8859-1";
}

}  // namespace

TContentTypeParts SplitContentType(std::u16string_view value) {
  TContentTypeParts result;
  if (Trim(value).empty()) return result;
  const std::vector<std::u16string_view> parts = splitParameters(value);
  std::u16string rest;
  bool found = false;
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::u16string_view part = Trim(parts[i]);
    const size_t eq = part.find(u'=');
    if (i > 0 && eq != std::u16string_view::npos && SameTextAscii(Trim(part.substr(0, eq)), u"charset")) {
      if (!found) result.CharSet = unquote(Trim(part.substr(eq + 1)));
      found = true;
      continue;
    }
    if (!rest.empty()) rest += u"; ";
    rest += part;
  }
  if (!found) {
    result.ContentType = std::u16string(value);
    result.CharSet = defaultCharSet(value);
    return result;
  }
  result.ContentType = std::move(rest);
  return result;
}

std::u16string_view MediaTypeOf(std::u16string_view contentType) {
  return Trim(contentType.substr(0, std::min(contentType.find(u';'), contentType.size())));
}

std::u16string QuoteParameterValue(std::u16string_view value) {
  constexpr std::u16string_view separators = u"()<>@,;:\\\"/[]?={} \t";
  bool needsQuotes = false;
  for (char16_t c : value) {
    if (c < 0x20 || c == 0x7F || separators.find(c) != std::u16string_view::npos) needsQuotes = true;
  }
  if (!needsQuotes) return std::u16string(value);
  std::u16string out = u"\"";
  for (char16_t c : value) {
    if (c == u'"' || c == u'\\') out += u'\\';
    out += c;
  }
  out += u'"';
  return out;
}

}  // namespace tessarine::net
