#include "translate/protected_text.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "common/text.h"

namespace tessarine::translate {

namespace {

constexpr size_t npos = std::u16string_view::npos;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

// Letters of the scripts whose words are set apart by blanks: Latin, Greek, Cyrillic. A term next to a letter of
// another script (Japanese, Chinese) is still a word of its own.
bool IsLetter(char16_t c) {
  if (IsAsciiLetter(c)) return true;
  if (c >= 0x00C0 && c <= 0x024F) return c != 0x00D7 && c != 0x00F7;
  return (c >= 0x0386 && c <= 0x03FF && c != 0x0387) || (c >= 0x0400 && c <= 0x052F && (c < 0x0482 || c > 0x0489));
}
bool IsWordChar(char16_t c) { return IsLetter(c) || IsDigit(c) || c == u'_'; }

char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c + 0x20;
  if ((c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) || (c >= 0x0391 && c <= 0x03AB) || (c >= 0x0410 && c <= 0x042F))
    return c + 0x20;
  if (c >= 0x0400 && c <= 0x040F) return c + 0x50;
  return c;
}
char16_t UpperLetter(char16_t c) {
  if (c >= u'a' && c <= u'z') return c - 0x20;
  if ((c >= 0x00E0 && c <= 0x00FE && c != 0x00F7) || (c >= 0x03B1 && c <= 0x03CB) || (c >= 0x0430 && c <= 0x044F))
    return c - 0x20;
  if (c >= 0x0450 && c <= 0x045F) return c - 0x50;
  return c;
}

bool StartsWithAt(std::u16string_view text, size_t at, std::u16string_view prefix) {
  return text.substr(at).starts_with(prefix);
}
// t.find(what, from), but only as far as limit characters on: every search below has a bound, so that a long
// hostile reply costs time in proportion to its length.
size_t FindWithin(std::u16string_view t, std::u16string_view what, size_t from, size_t limit) {
  if (from > t.size()) return npos;
  const size_t found = t.substr(from, limit + what.size()).find(what);
  return found == npos ? npos : from + found;
}
constexpr size_t kLongestTagPart = 1024;

size_t SkipBlanks(std::u16string_view t, size_t j) {
  while (j < t.size() && IsBlank(t[j])) ++j;
  return j;
}

// The recognisers below each take the text and a position holding the piece's first character, and answer the
// piece's length there, or 0.

// An XML or HTML tag (opening, closing or empty, attributes quoted or not) or comment.
size_t TagLength(std::u16string_view t, size_t i) {
  const size_t n = t.size();
  if (StartsWithAt(t, i, u"<!--")) {
    const size_t end = FindWithin(t, u"-->", i + 4, kLongestTagPart);
    return end == npos ? 0 : end + 3 - i;
  }
  size_t j = i + 1;
  if (j < n && t[j] == u'/') ++j;
  if (j >= n || !IsAsciiLetter(t[j])) return 0;
  while (j < n &&
         (IsAsciiLetter(t[j]) || IsDigit(t[j]) || t[j] == u':' || t[j] == u'_' || t[j] == u'.' || t[j] == u'-'))
    ++j;
  auto ends = [](char16_t c) { return IsBlank(c) || c == u'>' || c == u'<' || c == u'"' || c == u'\'' || c == u'='; };
  for (;;) {
    size_t k = SkipBlanks(t, j);
    if (k >= n) return 0;
    if (t[k] == u'>') return k + 1 - i;
    if (t[k] == u'/' && k + 1 < n && t[k + 1] == u'>') return k + 2 - i;
    // An attribute, set apart by a blank.
    if (k == j) return 0;
    const size_t name = k;
    while (k < n && !ends(t[k]) && t[k] != u'/') ++k;
    if (k == name) return 0;
    size_t m = SkipBlanks(t, k);
    if (m < n && t[m] == u'=') {
      m = SkipBlanks(t, m + 1);
      if (m >= n) return 0;
      if (t[m] == u'"' || t[m] == u'\'') {
        const size_t close = FindWithin(t, t.substr(m, 1), m + 1, kLongestTagPart);
        if (close == npos) return 0;
        k = close + 1;
      } else {
        const size_t value = m;
        while (m < n && !ends(t[m]) && t[m] != u'`') ++m;
        if (m == value) return 0;
        k = m;
      }
    }
    j = k;
  }
}

// &name; &#123; &#x1F;
size_t EntityLength(std::u16string_view t, size_t i) {
  const size_t n = t.size();
  size_t j = i + 1;
  if (j < n && t[j] == u'#') {
    ++j;
    const bool hex = j < n && (t[j] == u'x' || t[j] == u'X');
    if (hex) ++j;
    const size_t digits = j;
    while (j < n && j - digits < 8 && (hex ? HexDigitValue(t[j]) >= 0 : IsDigit(t[j]))) ++j;
    return j > digits && j < n && t[j] == u';' ? j + 1 - i : 0;
  }
  if (j >= n || !IsAsciiLetter(t[j])) return 0;
  const size_t name = j;
  while (j < n && j - name < 32 && (IsAsciiLetter(t[j]) || IsDigit(t[j]))) ++j;
  return j < n && t[j] == u';' ? j + 1 - i : 0;
}

// %% and printf conversions: %s %d %5.2f %-10s %1$s %lld %zu %(name)s. No blank flag: "100% done" is text.
size_t PrintfLength(std::u16string_view t, size_t i) {
  const size_t n = t.size();
  size_t j = i + 1;
  if (j < n && t[j] == u'%') return 2;
  if (j < n && t[j] == u'(') {
    const size_t close = FindWithin(t, u")", j + 1, 64);
    if (close == npos || close == j + 1) return 0;
    for (size_t k = j + 1; k < close; ++k) {
      if (!IsAsciiLetter(t[k]) && !IsDigit(t[k]) && t[k] != u'_') return 0;
    }
    j = close + 1;
  } else {
    size_t k = j;
    while (k < n && IsDigit(t[k])) ++k;
    if (k > j && k < n && t[k] == u'$') j = k + 1;
  }
  while (j < n && (t[j] == u'-' || t[j] == u'+' || t[j] == u'#' || t[j] == u'0')) ++j;
  auto number = [&] {
    if (j < n && t[j] == u'*') {
      ++j;
    } else {
      while (j < n && IsDigit(t[j])) ++j;
    }
  };
  number();
  if (j < n && t[j] == u'.') {
    ++j;
    number();
  }
  for (std::u16string_view length : {u"hh", u"ll", u"I64", u"I32", u"h", u"l", u"L", u"q", u"j", u"z", u"t", u"I"}) {
    if (StartsWithAt(t, j, length)) {
      j += length.size();
      break;
    }
  }
  return j < n && std::u16string_view(u"diouxXeEfFgGaAcspn").find(t[j]) != npos ? j + 1 - i : 0;
}

// Qt's %1 to %99 and %L1.
size_t QtArgLength(std::u16string_view t, size_t i) {
  const size_t n = t.size();
  size_t j = i + 1;
  if (j < n && t[j] == u'L') ++j;
  if (j >= n || t[j] < u'1' || t[j] > u'9') return 0;
  ++j;
  if (j < n && IsDigit(t[j])) ++j;
  return j < n && IsDigit(t[j]) ? 0 : j - i;
}

// {0} {name} {0:N2} {0,-10} {} {:.2f} {name!r} and {{name}}. A brace alone, or around other text, is text.
size_t BraceLength(std::u16string_view t, size_t i) {
  const size_t n = t.size();
  auto name = [&](size_t j) {
    while (j < n && (IsAsciiLetter(t[j]) || IsDigit(t[j]) || t[j] == u'_' || t[j] == u'.' || t[j] == u'-')) ++j;
    return j;
  };
  if (i + 1 < n && t[i + 1] == u'{') {
    const size_t from = SkipBlanks(t, i + 2);
    const size_t to = name(from);
    const size_t close = SkipBlanks(t, to);
    return to > from && StartsWithAt(t, close, u"}}") ? close + 2 - i : 0;
  }
  size_t j = i + 1;
  if (j < n && IsDigit(t[j])) {
    while (j < n && IsDigit(t[j])) ++j;
  } else if (j < n && (IsAsciiLetter(t[j]) || t[j] == u'_')) {
    while (j < n && (IsAsciiLetter(t[j]) || IsDigit(t[j]) || t[j] == u'_' || t[j] == u'.')) ++j;
  }
  const bool named = j > i + 1;
  if (named && j < n && t[j] == u',') {
    size_t k = j + 1;
    if (k < n && t[k] == u'-') ++k;
    const size_t digits = k;
    while (k < n && IsDigit(t[k])) ++k;
    if (k == digits) return 0;
    j = k;
  }
  if (j + 1 < n && t[j] == u'!' && (t[j + 1] == u'r' || t[j + 1] == u's' || t[j + 1] == u'a')) j += 2;
  if (j < n && t[j] == u':') {
    const size_t formatStart = ++j;
    while (j < n && j - formatStart < 32 && t[j] != u'}' && t[j] != u'{' && t[j] != u'\n') ++j;
  }
  return j < n && t[j] == u'}' ? j + 1 - i : 0;
}

// \n \t \r \\ \" \' and \uXXXX, as written in the program's source.
size_t EscapeLength(std::u16string_view t, size_t i) {
  if (i + 1 >= t.size()) return 0;
  const char16_t c = t[i + 1];
  if (c == u'n' || c == u't' || c == u'r' || c == u'\\' || c == u'"' || c == u'\'') return 2;
  if (c != u'u' || i + 6 > t.size()) return 0;
  for (size_t k = i + 2; k < i + 6; ++k) {
    if (HexDigitValue(t[k]) < 0) return 0;
  }
  return 6;
}

// The longest term at i that stands as a word of its own.
size_t TermLength(std::u16string_view t, size_t i, const std::vector<std::u16string>& terms) {
  for (const std::u16string& term : terms) {  // longest first
    if (t[i] != term.front() || !StartsWithAt(t, i, term)) continue;
    const size_t end = i + term.size();
    if (IsWordChar(term.front()) && i > 0 && IsWordChar(t[i - 1])) continue;
    if (IsWordChar(term.back()) && end < t.size() && IsWordChar(t[end])) continue;
    return term.size();
  }
  return 0;
}

// Tokens in a reply, as engines give them back: blanks added anywhere inside, letters in either case, quotes of
// either kind or none. Each answers the token's length at i, or 0.

// <x id="N"/>, <x id="N">, <x id="N"></x>: *id gets N.
size_t XmlTokenLength(std::u16string_view t, size_t i, size_t* id) {
  size_t j = SkipBlanks(t, i + 1);
  if (j >= t.size() || (t[j] != u'x' && t[j] != u'X')) return 0;
  const size_t afterName = j + 1;
  j = SkipBlanks(t, afterName);
  if (j == afterName || !SameTextAscii(t.substr(j, 2), u"id")) return 0;
  j = SkipBlanks(t, j + 2);
  if (j >= t.size() || t[j] != u'=') return 0;
  j = SkipBlanks(t, j + 1);
  const bool quoted = j < t.size() && (t[j] == u'"' || t[j] == u'\'');
  if (quoted) j = SkipBlanks(t, j + 1);
  const size_t digits = j;
  size_t value = 0;
  while (j < t.size() && IsDigit(t[j]) && j - digits < 6) value = value * 10 + (t[j++] - u'0');
  if (j == digits) return 0;
  j = SkipBlanks(t, j);
  if (quoted) {
    if (j >= t.size() || (t[j] != u'"' && t[j] != u'\'')) return 0;
    j = SkipBlanks(t, j + 1);
  }
  if (j < t.size() && t[j] == u'/') j = SkipBlanks(t, j + 1);
  if (j >= t.size() || t[j] != u'>') return 0;
  *id = value;
  return j + 1 - i;
}

// </x>, which closes a token of the pair form.
size_t XmlCloseLength(std::u16string_view t, size_t i) {
  size_t j = SkipBlanks(t, i + 1);
  if (j >= t.size() || t[j] != u'/') return 0;
  j = SkipBlanks(t, j + 1);
  if (j >= t.size() || (t[j] != u'x' && t[j] != u'X')) return 0;
  j = SkipBlanks(t, j + 1);
  return j < t.size() && t[j] == u'>' ? j + 1 - i : 0;
}

// [XNX]: *id gets N.
size_t BracketTokenLength(std::u16string_view t, size_t i, size_t* id) {
  size_t j = SkipBlanks(t, i + 1);
  if (j >= t.size() || (t[j] != u'X' && t[j] != u'x')) return 0;
  j = SkipBlanks(t, j + 1);
  const size_t digits = j;
  size_t value = 0;
  while (j < t.size() && IsDigit(t[j]) && j - digits < 6) value = value * 10 + (t[j++] - u'0');
  if (j == digits) return 0;
  j = SkipBlanks(t, j);
  if (j >= t.size() || (t[j] != u'X' && t[j] != u'x')) return 0;
  j = SkipBlanks(t, j + 1);
  if (j >= t.size() || t[j] != u']') return 0;
  *id = value;
  return j + 1 - i;
}

// <span ...notranslate...>CONTENT</span> or <span translate="no">CONTENT</span>, CONTENT at most longest characters:
// *content gets CONTENT.
size_t SpanTokenLength(std::u16string_view t, size_t i, size_t longest, std::u16string_view* content) {
  size_t j = SkipBlanks(t, i + 1);
  if (!SameTextAscii(t.substr(j, 4), u"span") || j + 4 >= t.size() || !IsBlank(t[j + 4])) return 0;
  const size_t close = FindWithin(t, u">", j, kLongestTagPart);
  if (close == npos) return 0;
  std::u16string attributes = LowerCaseAscii(t.substr(j + 4, close - j - 4));
  std::erase_if(attributes, [](char16_t c) { return IsBlank(c) || c == u'"' || c == u'\''; });
  if (attributes.find(u"notranslate") == npos && attributes.find(u"translate=no") == npos) return 0;
  const size_t end = FindWithin(t, u"<", close + 1, longest);
  if (end == npos) return 0;
  size_t k = SkipBlanks(t, end + 1);
  if (k >= t.size() || t[k] != u'/') return 0;
  k = SkipBlanks(t, k + 1);
  if (!SameTextAscii(t.substr(k, 4), u"span")) return 0;
  k = SkipBlanks(t, k + 4);
  if (k >= t.size() || t[k] != u'>') return 0;
  *content = Trim(t.substr(close + 1, end - close - 1));
  return k + 1 - i;
}

bool IsSpanForm(TTokenForm form) { return form == TTokenForm::NotranslateSpan || form == TTokenForm::TranslateNoSpan; }

void AppendEscaped(std::u16string& out, std::u16string_view text) {
  size_t from = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c != u'&' && c != u'<' && c != u'>') continue;
    out.append(text.substr(from, i - from));
    out += c == u'&' ? u"&amp;" : c == u'<' ? u"&lt;" : u"&gt;";
    from = i + 1;
  }
  out.append(text.substr(from));
}

void AppendCodePoint(std::u16string& out, uint32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

// Undoes what an engine escaped of the plain text in a markup form: the XML entities and character references.
// Other entities stay as written.
void AppendUnescaped(std::u16string& out, std::u16string_view text) {
  static constexpr std::pair<std::u16string_view, char16_t> kNamed[] = {
      {u"amp", u'&'}, {u"lt", u'<'}, {u"gt", u'>'}, {u"quot", u'"'}, {u"apos", u'\''}};
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t length = text[i] == u'&' ? EntityLength(text, i) : 0;
    if (length == 0) {
      const size_t next = std::min(text.find(u'&', i + 1), text.size());
      out.append(text.substr(i, next - i));
      i = next - 1;
      continue;
    }
    const std::u16string_view body = text.substr(i + 1, length - 2);
    bool done = false;
    if (body[0] == u'#') {
      const bool hex = body.size() > 1 && (body[1] == u'x' || body[1] == u'X');
      uint32_t value = 0;
      for (char16_t d : body.substr(hex ? 2 : 1))
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(HexDigitValue(d));
      if (value > 0 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
        AppendCodePoint(out, value);
        done = true;
      }
    } else {
      for (const auto& [name, c] : kNamed) {
        if (SameTextAscii(body, name)) {
          out += c;
          done = true;
          break;
        }
      }
    }
    if (!done) out += text.substr(i, length);
    i += length - 1;
  }
}

// FNV-1a, for a short tag of the terms.
uint64_t Fingerprint(const std::vector<std::u16string>& terms) {
  uint64_t hash = 14695981039346656037ULL;
  for (const std::u16string& term : terms) {
    for (char16_t c : term + u';') {
      hash = (hash ^ (c & 0xFF)) * 1099511628211ULL;
      hash = (hash ^ (c >> 8)) * 1099511628211ULL;
    }
  }
  return hash;
}

}  // namespace

bool IsMarkup(TTokenForm form) { return form != TTokenForm::Bracketed; }

std::u16string_view KeepTokensInstruction(TTokenForm form) {
  switch (form) {
    case TTokenForm::Bracketed:
      return u"Keep every token such as [X1X] exactly as written, once each; you may move it where the sentence "
             u"needs it.";
    case TTokenForm::XmlTag:
    case TTokenForm::XmlPair:
      return u"Keep every <x> element exactly as written, once each; you may move it where the sentence needs it.";
    case TTokenForm::NotranslateSpan:
    case TTokenForm::TranslateNoSpan:
      return u"Keep every <span> element and its content exactly as written, once each.";
  }
  return {};
}

TProtectSettings TProtectSettings::FromTerms(std::u16string_view list) {
  TProtectSettings settings;
  size_t from = 0;
  while (from <= list.size()) {
    const size_t end = std::min(list.find(u';', from), list.size());
    const std::u16string_view term = Trim(list.substr(from, end - from));
    from = end + 1;
    if (!term.empty() && std::find(settings.Terms.begin(), settings.Terms.end(), term) == settings.Terms.end())
      settings.Terms.emplace_back(term);
  }
  std::stable_sort(settings.Terms.begin(), settings.Terms.end(),
                   [](const std::u16string& a, const std::u16string& b) { return a.size() > b.size(); });
  return settings;
}

std::u16string TProtectSettings::CacheTag() const {
  if (Terms.empty()) return u"protect";
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string tag = u"protect:";
  const uint64_t hash = Fingerprint(Terms);
  for (int shift = 60; shift >= 0; shift -= 4) tag += kHex[(hash >> shift) & 0xF];
  return tag;
}

TProtectedText::TProtectedText(std::u16string_view text, TTokenForm form, const TProtectSettings& settings)
    : m_form(form) {
  const bool markup = IsMarkup(form);
  m_sent.reserve(text.size() + text.size() / 4);
  std::u16string piece;  // the pieces side by side so far
  auto flush = [&] {
    if (piece.empty()) return;
    m_pieces.push_back(std::move(piece));
    piece.clear();
    appendToken(m_pieces.size() - 1);
  };
  size_t plainFrom = 0;
  auto plainUpTo = [&](size_t end) {
    if (end <= plainFrom) return;
    flush();
    const std::u16string_view plain = text.substr(plainFrom, end - plainFrom);
    if (markup) {
      AppendEscaped(m_sent, plain);
    } else {
      m_sent += plain;
    }
  };

  for (size_t i = 0; i < text.size();) {
    size_t length = settings.Terms.empty() ? 0 : TermLength(text, i, settings.Terms);
    if (length == 0) {
      size_t id = 0;
      switch (text[i]) {
        case u'<':
          length = TagLength(text, i);
          break;
        case u'&':
          if (i + 1 < text.size() && text[i + 1] == u'&') {
            length = 2;
          } else if ((length = EntityLength(text, i)) == 0 && !m_accelerator && i + 1 < text.size() &&
                     IsLetter(text[i + 1])) {
            // The accelerator's "&" goes; its letter stays with the word.
            plainUpTo(i);
            m_accelerator = text[i + 1];
            plainFrom = ++i;
            continue;
          }
          break;
        case u'%':
          length = PrintfLength(text, i);
          if (length == 0) length = QtArgLength(text, i);
          break;
        case u'{':
          length = BraceLength(text, i);
          break;
        case u'\\':
          length = EscapeLength(text, i);
          break;
        case u'[':
          // Text shaped like a token of this form must not be taken for one in the reply.
          if (form == TTokenForm::Bracketed) length = BracketTokenLength(text, i, &id);
          break;
        default:
          break;
      }
    }
    if (length == 0) {
      ++i;
      continue;
    }
    if (i > plainFrom) plainUpTo(i);
    piece += text.substr(i, length);
    i += length;
    plainFrom = i;
  }
  plainUpTo(text.size());
  flush();
  // Room for the blanks an engine adds around a span's content.
  for (const std::u16string& piece : m_pieces) m_longestToken = std::max(m_longestToken, 5 * piece.size() + 64);
  m_first.resize(m_pieces.size());
  for (size_t i = 0; i < m_pieces.size(); ++i)
    m_first[i] = static_cast<size_t>(std::find(m_pieces.begin(), m_pieces.end(), m_pieces[i]) - m_pieces.begin());
}

void TProtectedText::appendToken(size_t index) {
  auto number = [&] {
    char16_t digits[20];
    size_t count = 0;
    for (size_t n = index + 1; n > 0; n /= 10) digits[count++] = static_cast<char16_t>(u'0' + n % 10);
    while (count > 0) m_sent += digits[--count];
  };
  switch (m_form) {
    case TTokenForm::XmlTag:
    case TTokenForm::XmlPair:
      m_sent += u"<x id=\"";
      number();
      m_sent += m_form == TTokenForm::XmlTag ? u"\"/>" : u"\"></x>";
      break;
    case TTokenForm::NotranslateSpan:
    case TTokenForm::TranslateNoSpan:
      m_sent += m_form == TTokenForm::NotranslateSpan ? u"<span class=\"notranslate\">" : u"<span translate=\"no\">";
      AppendEscaped(m_sent, m_pieces[index]);
      m_sent += u"</span>";
      break;
    case TTokenForm::Bracketed:
      m_sent += u"[X";
      number();
      m_sent += u"X]";
      break;
  }
}

std::u16string TProtectedText::Restore(std::u16string_view reply, std::u16string_view engineName) const {
  if (reply.empty()) return {};
  const bool markup = IsMarkup(m_form);
  const bool spans = IsSpanForm(m_form);
  std::u16string out;
  out.reserve(reply.size());
  // Where the engine's own text stands in out, as [begin, end) pairs: the accelerator goes there only.
  std::vector<std::pair<size_t, size_t>> plain;
  size_t unknown = 0;
  // The times each piece came back, counted at the first piece of the same text: which of the tokens of equal
  // pieces brought one back does not matter.
  std::vector<size_t> found(m_pieces.size());
  size_t plainFrom = 0;
  auto takePlain = [&](size_t end) {
    if (end <= plainFrom) return;
    const size_t begin = out.size();
    if (markup) {
      AppendUnescaped(out, reply.substr(plainFrom, end - plainFrom));
    } else {
      out += reply.substr(plainFrom, end - plainFrom);
    }
    if (m_accelerator) plain.emplace_back(begin, out.size());
  };

  for (size_t i = 0; i < reply.size();) {
    size_t length = 0;
    size_t id = 0;  // the piece's number, 0 for none
    if (reply[i] == u'[' && m_form == TTokenForm::Bracketed) {
      length = BracketTokenLength(reply, i, &id);
    } else if (reply[i] == u'<' && spans) {
      std::u16string_view content;
      length = SpanTokenLength(reply, i, m_longestToken, &content);
      if (length > 0) {
        std::u16string text;
        AppendUnescaped(text, content);
        id = static_cast<size_t>(std::find(m_pieces.begin(), m_pieces.end(), text) - m_pieces.begin()) + 1;
      }
    } else if (reply[i] == u'<' && markup) {
      length = XmlTokenLength(reply, i, &id);
      if (length > 0) {
        // The pair form's closing tag belongs to its token.
        const size_t after = SkipBlanks(reply, i + length);
        if (after < reply.size() && reply[after] == u'<') {
          if (const size_t close = XmlCloseLength(reply, after)) length = after + close - i;
        }
      } else if (const size_t close = XmlCloseLength(reply, i)) {
        // A closing tag left over from a token read already: nothing of the text.
        takePlain(i);
        plainFrom = i += close;
        continue;
      }
    }
    if (length == 0) {
      ++i;
      continue;
    }
    takePlain(i);
    if (id >= 1 && id <= m_pieces.size()) {
      ++found[m_first[id - 1]];
      out += m_pieces[id - 1];
    } else {
      ++unknown;
    }
    plainFrom = i += length;
  }
  takePlain(reply.size());

  // Every piece as often as it stands in the text.
  std::vector<std::u16string> problems;
  for (size_t i = 0; i < m_pieces.size(); ++i) {
    if (m_first[i] != i) continue;
    const auto want = static_cast<size_t>(std::count(m_first.begin(), m_first.end(), i));
    if (found[i] < want) problems.push_back(m_pieces[i] + u" missing");
    if (found[i] > want) problems.push_back(m_pieces[i] + u" duplicated");
  }
  if (unknown > 0) problems.push_back(IntToStr(static_cast<long long>(unknown)) + u" unknown");
  if (!problems.empty()) {
    std::u16string message = u"Placeholders changed by " + std::u16string(engineName) + u": ";
    for (size_t i = 0; i < problems.size(); ++i) message += (i ? u", " : u"") + problems[i];
    throw EPlaceholdersChanged(message);
  }
  if (m_accelerator) placeAccelerator(out, plain);
  return out;
}

void TProtectedText::placeAccelerator(std::u16string& text, const std::vector<std::pair<size_t, size_t>>& plain) const {
  const char16_t letter = *m_accelerator;
  // A menu item's shortcut follows a tab ("&Save\tCtrl+S"); the accelerator belongs to the words before it.
  const size_t shortcut = std::min({text.find(u'\t'), text.find(u"\\t"), text.size()});
  // Before the same letter of the engine's text as written, else in the other case.
  for (const bool folded : {false, true}) {
    for (const auto& [begin, end] : plain) {
      for (size_t i = begin; i < std::min(end, shortcut); ++i) {
        if (folded ? FoldCase(text[i]) == FoldCase(letter) : text[i] == letter) {
          text.insert(i, 1, u'&');
          return;
        }
      }
    }
  }
  // "(&X)" after the words, as East Asian interfaces write it, and before a closing ellipsis or colon.
  size_t at = shortcut;
  while (at > 0) {
    const char16_t c = text[at - 1];
    if (c != u' ' && c != u'.' && c != u'\u2026' && c != u':' && c != u'\uFF1A') break;
    --at;
  }
  text.insert(at, u"(&" + std::u16string(1, UpperLetter(letter)) + u")");
}

}  // namespace tessarine::translate
