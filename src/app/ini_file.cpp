#include "app/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "common/text.h"

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

// The file's bytes; nothing when it is missing or cannot be read (a folder in its place, no permission), and
// nothing with tooLarge set when it holds more than kMaxFileSize bytes: such a file is no settings file, and
// reading it whole would hold start-up up for as long as it takes.
std::string ReadFileBytes(const std::string& fileName, bool* tooLarge = nullptr) {
  if (tooLarge) *tooLarge = false;
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    bool large = static_cast<uintmax_t>(info.st_size) > TIniFile::kMaxFileSize;
    if (!large) bytes.reserve(static_cast<size_t>(info.st_size));
    char buffer[8192];
    // Bounded as well by what is read: the file may grow meanwhile.
    while (!large) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        bytes.clear();
        break;
      }
      if (n == 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
      large = bytes.size() > TIniFile::kMaxFileSize;
    }
    if (large) {
      bytes.clear();
      bytes.shrink_to_fit();
      if (tooLarge) *tooLarge = true;
    }
  }
  ::close(fd);
  return bytes;
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

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes the folder and each missing one above it.
void CreateFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return;
    if (slash == std::string::npos) return;
  }
}

// Replaces the file's content: a temporary file beside it is written and flushed to disk, then renamed over
// the file, so the file is at every moment either the whole old or the whole new content.
bool ReplaceFile(const std::string& fileName, const std::string& bytes) {
  std::string target = fileName;
  if (char* real = ::realpath(fileName.c_str(), nullptr)) {  // a link: replace the file it points to
    target = real;
    std::free(real);
  }
  const std::string directory = DirectoryOf(target);
  static std::atomic<unsigned> counter{0};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = target + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
    // Owner only from the start: a file the program creates is nobody else's to read.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk with the directory.
  const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace

TIniFile::TIniFile(std::string fileName, bool createFolder)
    : m_fileName(std::move(fileName)), m_createFolder(createFolder) {}

std::optional<std::u16string> TIniFile::readValue(const std::u16string& section, const std::u16string& key) const {
  const std::string bytes = ReadFileBytes(m_fileName);
  const std::optional<std::string_view> found = FindValue(bytes, ToUtf8(section), ToUtf8(key));
  if (!found) return std::nullopt;
  std::u16string value = FromUtf8(*found);
  if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
  return value;
}

std::u16string TIniFile::Unusable() const {
  struct stat info {};
  if (::stat(m_fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<uintmax_t>(info.st_size) <= kMaxFileSize)
    return {};
  return FromUtf8(m_fileName) + u" is not read: at " + FromUtf8(std::to_string(info.st_size)) +
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
  std::vector<TRawLine> lines = SplitLines(ReadFileBytes(m_fileName, &tooLarge));
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
  if (m_createFolder) CreateFolders(DirectoryOf(m_fileName));
  if (!ReplaceFile(m_fileName, bytes)) throw EIniFileException(u"Unable to write to " + FromUtf8(m_fileName));
}

}  // namespace tessarine::app
