#include "app/ini_file.h"

#include <climits>
#include <vector>

#include "app/ini_file_system.h"
#include "common/text.h"
#include "common/utf8.h"

namespace tessarine::app {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// One line of the file as it stands: its bytes without the line end, and the line end ("\r\n", "\n" or
// nothing for a last line without one).
struct TRawLine {
  std::string Text;
  std::string End;
};

std::vector<TRawLine> SplitLines(const std::string& bytes) {
  std::vector<TRawLine> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t lf = bytes.find('\n', start);
    if (lf == std::string::npos) {
      lines.push_back({bytes.substr(start), ""});
      break;
    }
    size_t end = lf;
    if (end > start && bytes[end - 1] == '\r') --end;
    lines.push_back({bytes.substr(start, end - start), bytes.substr(end, lf + 1 - end)});
    start = lf + 1;
  }
  return lines;
}

bool IsWellFormedUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  for (size_t i = 0; i < bytes.size();) {
    const utf::TUtf8Step step = utf::Utf8StepAt(p + i, bytes.size() - i);
    if (!step.WellFormed) return false;
    i += step.Length;
  }
  return true;
}

// The file's text in UTF-8, whatever a Windows editor saved it in: UTF-16 after its byte order mark (which becomes
// UTF-8's), UTF-8, or else the ANSI code page. A write puts it back in UTF-8.
std::string FileText(const std::string& fileName, bool* tooLarge = nullptr) {
  std::string bytes = ini_system::ReadFileBytes(fileName, TIniFile::kMaxFileSize, tooLarge);
  const bool littleEndian = bytes.compare(0, 2, "\xFF\xFE") == 0;
  if (littleEndian || bytes.compare(0, 2, "\xFE\xFF") == 0) {
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      const auto first = static_cast<uint8_t>(bytes[2 * i]);
      const auto second = static_cast<uint8_t>(bytes[2 * i + 1]);
      text[i] = static_cast<char16_t>(littleEndian ? second << 8 | first : first << 8 | second);
    }
    return ToUtf8(text);
  }
  if (IsWellFormedUtf8(bytes)) return bytes;
  return ini_system::AnsiToUtf8(bytes);
}

// Characters at or below the space, as the classic Trim takes them; no such byte is part of a longer UTF-8
// character, so the bytes can be trimmed before they are decoded.
std::string_view TrimBytes(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

// A name in the file against one asked for (UTF-8 both): ASCII letters in either case, every other byte as it is.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// What a line means. Parsed on the bytes, which are decoded only for the one value asked for: every read
// passes over the whole file, and decoding each line would multiply its cost.
struct TParsedLine {
  enum Kind { kOther, kSection, kKey } What = kOther;
  std::string_view Name;   // section or key name
  std::string_view Value;  // for a key
};

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

TParsedLine ParseLine(std::string_view bytes, bool first) {
  if (first && bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) bytes.remove_prefix(kUtf8Bom.size());
  const std::string_view trimmed = TrimBytes(bytes);
  TParsedLine parsed;
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return parsed;
  if (trimmed.front() == '[') {
    const size_t close = trimmed.find(']');
    if (close == std::string_view::npos) return parsed;
    parsed.What = TParsedLine::kSection;
    parsed.Name = TrimBytes(trimmed.substr(1, close - 1));
    return parsed;
  }
  const size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos) return parsed;
  parsed.What = TParsedLine::kKey;
  parsed.Name = TrimBytes(trimmed.substr(0, equals));
  parsed.Value = StripQuotes(TrimBytes(trimmed.substr(equals + 1)));
  return parsed;
}

// The value of the first such key in the first such section, in one pass over the bytes.
std::optional<std::string_view> FindValue(std::string_view bytes, std::string_view section, std::string_view key) {
  bool inSection = false;
  size_t start = bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
  while (start < bytes.size()) {
    // Blank lines and the blanks before a line's text go in one sweep: a line at a time, a file of empty lines
    // would cost many times its size.
    while (start < bytes.size() && static_cast<unsigned char>(bytes[start]) <= ' ') ++start;
    size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    const TParsedLine parsed = ParseLine(bytes.substr(start, end - start), false);
    start = end + 1;
    if (parsed.What == TParsedLine::kSection) {
      // A section of the same name further on is not read.
      if (inSection) return std::nullopt;
      inSection = SameName(parsed.Name, section);
    } else if (inSection && parsed.What == TParsedLine::kKey && SameName(parsed.Name, key)) {
      return parsed.Value;
    }
  }
  return std::nullopt;
}

// Where a section and a key stand in the file.
struct TLocation {
  std::optional<size_t> Section;   // the section's header line
  size_t SectionEnd = 0;           // one past its last line
  std::optional<size_t> Key;       // the key's line
  std::optional<size_t> LastLine;  // the section's last non-blank line
};

TLocation Locate(const std::vector<TRawLine>& lines, std::u16string_view sectionName, std::u16string_view keyName) {
  const std::string section = ToUtf8(sectionName);
  const std::string key = ToUtf8(keyName);
  TLocation where;
  for (size_t i = 0; i < lines.size(); ++i) {
    const TParsedLine parsed = ParseLine(lines[i].Text, i == 0);
    if (parsed.What == TParsedLine::kSection) {
      if (where.Section) {
        where.SectionEnd = i;
        return where;
      }
      if (SameName(parsed.Name, section)) {
        where.Section = i;
        where.LastLine = i;
      }
      continue;
    }
    if (!where.Section) continue;
    if (!TrimBytes(lines[i].Text).empty()) where.LastLine = i;
    if (parsed.What == TParsedLine::kKey && !where.Key && SameName(parsed.Name, key)) where.Key = i;
  }
  where.SectionEnd = lines.size();
  return where;
}

}  // namespace

TIniFile::TIniFile(std::string fileName, bool createFolder)
    : m_fileName(std::move(fileName)), m_createFolder(createFolder) {}

std::optional<std::u16string> TIniFile::readValue(const std::u16string& section, const std::u16string& key) const {
  const std::string bytes = FileText(m_fileName);
  const std::optional<std::string_view> found = FindValue(bytes, ToUtf8(section), ToUtf8(key));
  if (!found) return std::nullopt;
  std::u16string value = FromUtf8(*found);
  if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
  return value;
}

std::u16string TIniFile::Unusable() const {
  const std::optional<uintmax_t> size = ini_system::RegularFileSize(m_fileName);
  if (!size || *size <= kMaxFileSize) return {};
  return FromUtf8(m_fileName) + u" is not read: at " + FromUtf8(std::to_string(*size)) +
         u" bytes it is too large to be a settings file (at most " + FromUtf8(std::to_string(kMaxFileSize)) + u").";
}

std::u16string TIniFile::ReadString(const std::u16string& section, const std::u16string& key,
                                    const std::u16string& defaultValue) const {
  std::optional<std::u16string> value = readValue(section, key);
  return value ? *value : defaultValue;
}

std::optional<int32_t> TIniFile::StrToInt(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
    negative = text[i] == u'-';
    ++i;
  }
  int64_t magnitude = 0;
  if (i < text.size() && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X' ||
                          (text[i] == u'0' && i + 1 < text.size() && (text[i + 1] == u'x' || text[i + 1] == u'X')))) {
    i += text[i] == u'0' ? 2 : 1;
    const size_t digits = text.size() - i;
    if (digits == 0 || digits > 8) return std::nullopt;
    uint32_t value = 0;
    for (; i < text.size(); ++i) {
      const int digit = HexDigitValue(text[i]);
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    // Eight digits fill all 32 bits: $FFFFFFFF is -1.
    const auto signedValue = static_cast<int32_t>(value);
    return negative ? static_cast<int32_t>(0u - value) : signedValue;
  }
  if (i == text.size()) return std::nullopt;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return std::nullopt;
    magnitude = magnitude * 10 + (text[i] - u'0');
    if (magnitude > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(value);
}

bool TIniFile::ReadBool(const std::u16string& section, const std::u16string& key, bool defaultValue) const {
  std::u16string text = ReadString(section, key, u"");
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) text.replace(0, 2, u"$");
  const std::optional<int32_t> value = StrToInt(text);
  return value ? *value != 0 : defaultValue;
}

void TIniFile::WriteBool(const std::u16string& section, const std::u16string& key, bool value) {
  WriteString(section, key, value ? u"1" : u"0");
}

void TIniFile::WriteString(const std::u16string& section, const std::u16string& key, const std::u16string& value) {
  bool tooLarge = false;
  std::vector<TRawLine> lines = SplitLines(FileText(m_fileName, &tooLarge));
  // Written back, the file would lose everything but this key.
  if (tooLarge) throw EIniFileException(u"Unable to write to " + FromUtf8(m_fileName));
  std::string lineEnd = "\n";
  for (const TRawLine& line : lines) {
    if (!line.End.empty()) {
      lineEnd = line.End;
      break;
    }
  }
  const std::string keyLine = ToUtf8(key) + "=" + ToUtf8(value);
  const TLocation where = Locate(lines, section, key);
  if (where.Key) {
    lines[*where.Key].Text = keyLine;
  } else if (where.Section) {
    const size_t after = *where.LastLine;
    if (lines[after].End.empty()) lines[after].End = lineEnd;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after + 1), TRawLine{keyLine, lineEnd});
  } else {
    if (!lines.empty() && lines.back().End.empty()) lines.back().End = lineEnd;
    std::string header = "[";  // built step by step: "[" + std::string&& trips g++ 12's -Wrestrict
    header += ToUtf8(section);
    header += ']';
    lines.push_back({std::move(header), lineEnd});
    lines.push_back({keyLine, lineEnd});
  }
  std::string bytes;
  for (const TRawLine& line : lines) bytes += line.Text + line.End;
  if (m_createFolder) ini_system::CreateFolders(ini_system::DirectoryOf(m_fileName));
  if (!ini_system::ReplaceContent(m_fileName, bytes))
    throw EIniFileException(u"Unable to write to " + FromUtf8(m_fileName));
}

}  // namespace tessarine::app
