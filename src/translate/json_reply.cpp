#include "translate/json_reply.h"

#include <algorithm>
#include <utility>

#include "common/exception.h"
#include "common/text.h"
#include "translate/text_codecs.h"

namespace tessarine::translate {

namespace {

constexpr int kMaxDepth = 64;

using TKind = TJsonValue::TKind;

class TReader {
 public:
  TReader(std::u16string_view text, TReplyText form, std::string_view engine,
          std::span<const std::u16string_view> wanted)
      : m_text(text), m_form(form), m_engine(engine), m_wanted(wanted) {
    for (std::u16string_view path : wanted) m_longestPath = std::max(m_longestPath, path.size());
  }

  TJsonValue Document() {
    skipSpace();
    // An engine that answers with an array (Microsoft's one item per text) asks for paths starting "[]".
    const bool arrayWanted =
        std::any_of(m_wanted.begin(), m_wanted.end(), [](std::u16string_view path) { return path.starts_with(u"[]"); });
    if (peek() != u'{' && !(arrayWanted && peek() == u'[')) notJson();
    TJsonValue document;
    value(0, u"", &document);
    skipSpace();
    if (m_pos != m_text.size()) notJson();
    return document;
  }

 private:
  [[noreturn]] void notJson() const { throw Exception(std::string(m_engine) + ": the reply is not JSON"); }

  char16_t peek() const { return m_pos < m_text.size() ? m_text[m_pos] : 0; }
  bool consume(char16_t c) {
    if (m_pos >= m_text.size() || m_text[m_pos] != c) return false;
    ++m_pos;
    return true;
  }
  void skipSpace() {
    while (m_pos < m_text.size() && (m_text[m_pos] == u' ' || m_text[m_pos] == u'\t' || m_text[m_pos] == u'\n' ||
                                     m_text[m_pos] == u'\r' || m_text[m_pos] == 0xFEFF)) {
      ++m_pos;
    }
  }

  // A value at this path is kept when it is wanted or lies on the way to a wanted one.
  bool kept(std::u16string_view path) const {
    return std::any_of(m_wanted.begin(), m_wanted.end(), [path](std::u16string_view wanted) {
      return wanted.starts_with(path) &&
             (wanted.size() == path.size() || wanted[path.size()] == u'.' || wanted[path.size()] == u'[');
    });
  }
  // The same for the member of that name of the object at parent, without making its path.
  bool kept(std::u16string_view parent, std::u16string_view name) const {
    return std::any_of(m_wanted.begin(), m_wanted.end(), [parent, name](std::u16string_view wanted) {
      if (!wanted.starts_with(parent)) return false;
      wanted.remove_prefix(parent.size());
      if (!parent.empty() && !wanted.starts_with(u'.')) return false;
      if (!parent.empty()) wanted.remove_prefix(1);
      return wanted.starts_with(name) &&
             (wanted.size() == name.size() || wanted[name.size()] == u'.' || wanted[name.size()] == u'[');
    });
  }

  TKind kindAt(char16_t c) const {
    switch (c) {
      case u'"':
        return TKind::String;
      case u'{':
        return TKind::Object;
      case u'[':
        return TKind::Array;
      case u't':
      case u'f':
        return TKind::Boolean;
      case u'n':
        return TKind::Null;
      default:
        return TKind::Number;
    }
  }

  // Checks the string that opens at m_pos and returns the position of its closing quote; m_pos stays.
  size_t stringEnd() const {
    size_t i = m_pos + 1;
    while (true) {
      if (i >= m_text.size()) notJson();
      const char16_t c = m_text[i];
      if (c == u'"') return i;
      if (c < 0x20) notJson();
      if (c != u'\\') {
        ++i;
        continue;
      }
      if (i + 1 >= m_text.size()) notJson();
      switch (m_text[i + 1]) {
        case u'"':
        case u'\\':
        case u'/':
        case u'b':
        case u'f':
        case u'n':
        case u'r':
        case u't':
          i += 2;
          break;
        case u'u':
          if (i + 6 > m_text.size()) notJson();
          for (size_t k = i + 2; k < i + 6; ++k) {
            if (HexDigitValue(m_text[k]) < 0) notJson();
          }
          i += 6;
          break;
        default:
          notJson();
      }
    }
  }

  // The characters of a checked string's body. Read one character per byte, its characters up to U+00FF are
  // UTF-8 bytes; escapes are characters in either form.
  void decode(std::u16string_view body, std::u16string& out) const {
    out.reserve(body.size());
    size_t i = 0;
    while (i < body.size()) {
      const size_t escape = std::min(body.find(u'\\', i), body.size());
      const std::u16string_view plain = body.substr(i, escape - i);
      if (m_form == TReplyText::Bytes) {
        AppendCharactersFromUtf8Bytes(out, plain);
      } else {
        out += plain;
      }
      if (escape == body.size()) break;
      const char16_t e = body[escape + 1];
      i = escape + 2;
      switch (e) {
        case u'b':
          out += u'\b';
          break;
        case u'f':
          out += u'\f';
          break;
        case u'n':
          out += u'\n';
          break;
        case u'r':
          out += u'\r';
          break;
        case u't':
          out += u'\t';
          break;
        case u'u': {
          // A surrogate pair is two escapes, one code unit each.
          unsigned unit = 0;
          for (size_t k = i; k < i + 4; ++k) unit = unit * 16 + static_cast<unsigned>(HexDigitValue(body[k]));
          out += static_cast<char16_t>(unit);
          i += 4;
          break;
        }
        default:  // the quote, the backslash and the slash stand for themselves
          out += e;
      }
    }
  }

  // Reads a string; into receives its characters unless it is nullptr. Returns false, having read it, when the
  // string is longer than limit characters as written and into is left empty.
  bool string(std::u16string* into, size_t limit = std::u16string::npos) {
    const size_t end = stringEnd();
    const std::u16string_view body = m_text.substr(m_pos + 1, end - m_pos - 1);
    m_pos = end + 1;
    if (!into) return true;
    if (body.size() > limit) return false;
    decode(body, *into);
    return true;
  }

  // Reads one value; it is kept in into unless that is nullptr.
  void value(int depth, std::u16string_view path, TJsonValue* into) {
    if (depth > kMaxDepth) notJson();
    const char16_t c = peek();
    const TKind kind = kindAt(c);
    if (into) into->Kind = kind;
    switch (kind) {
      case TKind::String:
        string(into ? &into->Text : nullptr);
        return;
      case TKind::Object:
      case TKind::Array:
        container(depth, path, into, kind == TKind::Object);
        return;
      case TKind::Boolean:
      case TKind::Null:
        for (std::u16string_view word : {u"true", u"false", u"null"}) {
          if (m_text.substr(m_pos, word.size()) == word) {
            if (into && kind == TKind::Boolean) into->Text = word;
            m_pos += word.size();
            return;
          }
        }
        notJson();
      case TKind::Number: {
        const size_t start = m_pos;
        while (m_pos < m_text.size() &&
               (m_text[m_pos] == u'-' || m_text[m_pos] == u'+' || m_text[m_pos] == u'.' || m_text[m_pos] == u'e' ||
                m_text[m_pos] == u'E' || (m_text[m_pos] >= u'0' && m_text[m_pos] <= u'9'))) {
          ++m_pos;
        }
        if (m_pos == start) notJson();
        if (into) into->Text = m_text.substr(start, m_pos - start);
        return;
      }
    }
  }

  void container(int depth, std::u16string_view path, TJsonValue* into, bool object) {
    const char16_t close = object ? u'}' : u']';
    ++m_pos;
    skipSpace();
    if (consume(close)) return;
    std::u16string itemPath;
    bool keepItems = false;
    if (into && !object) {
      itemPath = std::u16string(path) + u"[]";
      keepItems = kept(itemPath);
    }
    std::u16string name;
    while (true) {
      skipSpace();
      if (object) {
        if (peek() != u'"') notJson();
        name.clear();
        // A name longer than every wanted path cannot be on one, even were each of its characters a six-character
        // escape; it is passed over without being copied.
        const bool named = string(into ? &name : nullptr, 6 * m_longestPath);
        skipSpace();
        if (!consume(u':')) notJson();
        skipSpace();
        TJsonValue* member = nullptr;
        std::u16string childPath;
        if (into && named && kept(path, name)) {
          const TKind kind = kindAt(peek());
          if (!into->Find(name, kind)) member = &into->Members.emplace_back(TJsonMember{name, {}}).Value;
          // Only a container's path is looked at further.
          if (member && (kind == TKind::Object || kind == TKind::Array)) {
            childPath = path;
            if (!childPath.empty()) childPath += u'.';
            childPath += name;
          }
        }
        value(depth + 1, childPath, member);
      } else {
        TJsonValue* item = nullptr;
        if (keepItems && into->Items.size() < kJsonKeptItems) item = &into->Items.emplace_back();
        value(depth + 1, itemPath, item);
      }
      skipSpace();
      if (consume(close)) return;
      if (!consume(u',')) notJson();
    }
  }

  std::u16string_view m_text;
  const TReplyText m_form;
  const std::string_view m_engine;
  const std::span<const std::u16string_view> m_wanted;
  size_t m_longestPath = 0;
  size_t m_pos = 0;
};

}  // namespace

TReplyText ReplyTextOf(std::u16string_view charSet) {
  const std::u16string_view name = Trim(charSet);
  if (name.empty()) return TReplyText::Bytes;
  // The registry's names of Latin-1, which gives every byte the character of its value.
  for (std::u16string_view latin1 : {u"ISO-8859-1", u"ISO_8859-1", u"ISO_8859-1:1987", u"latin1", u"l1", u"IBM819",
                                     u"CP819", u"csISOLatin1", u"iso-ir-100"}) {
    if (SameTextAscii(name, latin1)) return TReplyText::Bytes;
  }
  return TReplyText::Characters;
}

const TJsonValue* TJsonValue::Find(std::u16string_view name, TKind kind) const {
  for (const auto& [memberName, member] : Members) {
    if (memberName == name && member.Kind == kind) return &member;
  }
  return nullptr;
}

TJsonValue* TJsonValue::Find(std::u16string_view name, TKind kind) {
  return const_cast<TJsonValue*>(std::as_const(*this).Find(name, kind));
}

TJsonValue ParseJsonReply(std::u16string_view reply, TReplyText form, std::string_view engine,
                          std::span<const std::u16string_view> wanted) {
  return TReader(reply, form, engine, wanted).Document();
}

}  // namespace tessarine::translate
