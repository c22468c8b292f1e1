#pragma once

#include <string>

namespace tessarine::shell {

// The settings file as the core uses it: every read and write goes to the file at once. Reads never
// fail (a missing file, section, key or unreadable value gives the default); a failed write raises
// "Unable to write to %s" with the file's full path.
class TCustomIniFile {
 public:
  virtual ~TCustomIniFile() = default;

  virtual bool ReadBool(const std::u16string& section, const std::u16string& key, bool defaultValue) const = 0;
  virtual std::u16string ReadString(const std::u16string& section, const std::u16string& key,
                                    const std::u16string& defaultValue) const = 0;
  virtual void WriteBool(const std::u16string& section, const std::u16string& key, bool value) = 0;
  virtual void WriteString(const std::u16string& section, const std::u16string& key, const std::u16string& value) = 0;
  // Empty while the file can be used; otherwise why it is neither read nor written (it is too large to be
  // settings), in words for the user. Reads then give the defaults.
  virtual std::u16string Unusable() const { return {}; }
};

}  // namespace tessarine::shell
