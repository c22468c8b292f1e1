#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/exception.h"
#include "shell/custom_ini_file.h"

namespace tessarine::app {

// A failed settings write: "Unable to write to %s".
class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

// The settings file: a UTF-8 INI file of "[section]" lines and "key=value" lines, read and written key by
// key, straight from and to the file. Files Windows editors save are read too: UTF-16 with a byte order mark, and
// on Windows text in the ANSI code page; the first write turns them into UTF-8. Section and key names match without
// regard to ASCII letter case; blanks around names and values are ignored and one pair of matching quotes around a
// value is removed; lines starting with ";" or "#" are comments. A write changes only the line of its key (or adds it
// at the end of its section, or adds the section at the end of the file) and keeps every other line byte for byte. Each
// write replaces the file through a temporary file beside it, so a crash or a full disk leaves the old file whole. A
// file larger than kMaxFileSize is no settings file: it is neither read (every key gives its default) nor written
// (Unusable says why).
class TIniFile final : public shell::TCustomIniFile {
 public:
  // At most this many characters of a value are read.
  static constexpr size_t kMaxValueLength = 2047;
  // The largest file read: 1 MiB, thousands of times what the program writes.
  static constexpr size_t kMaxFileSize = 1 << 20;

  // createFolder: the file's folder (and the folders above it) are made, readable only by the user, when
  // the first write finds them missing.
  explicit TIniFile(std::string fileName, bool createFolder = false);

  const std::string& FileName() const { return m_fileName; }

  // "0" is false; any other readable integer is true; an unreadable text gives the default.
  bool ReadBool(const std::u16string& section, const std::u16string& key, bool defaultValue) const override;
  std::u16string ReadString(const std::u16string& section, const std::u16string& key,
                            const std::u16string& defaultValue) const override;
  // Writes "1" or "0".
  void WriteBool(const std::u16string& section, const std::u16string& key, bool value) override;
  void WriteString(const std::u16string& section, const std::u16string& key, const std::u16string& value) override;
  std::u16string Unusable() const override;

  // A signed 32-bit integer as the boolean reading takes it: leading spaces, an optional sign, then decimal
  // digits, or at most eight hexadecimal digits after "$", "x", "X", "0x" or "0X"; nothing may follow.
  static std::optional<int32_t> StrToInt(std::u16string_view text);

 private:
  std::optional<std::u16string> readValue(const std::u16string& section, const std::u16string& key) const;

  std::string m_fileName;
  bool m_createFolder = false;
};

}  // namespace tessarine::app
