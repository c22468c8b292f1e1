#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessarine::net {

// The only converters between bytes and text at the HTTP boundary. Instances are immutable and
// may be shared by any number of threads.
class IIdTextEncoding {
 public:
  virtual ~IIdTextEncoding() = default;

  virtual std::vector<uint8_t> GetBytes(std::u16string_view text) const = 0;
  virtual size_t GetByteCount(std::u16string_view text) const = 0;
  virtual std::u16string GetString(const uint8_t* bytes, size_t count) const = 0;
  virtual size_t GetCharCount(const uint8_t* bytes, size_t count) const = 0;
  // The byte-order mark of the encoding (none for most); the HTTP paths never write it.
  virtual std::vector<uint8_t> GetPreamble() const = 0;
  virtual bool IsSingleByte() const = 0;
  virtual int MaxCharSize() const = 0;

  // Sub-range conversions: a count of -1 means up to the end.
  std::u16string GetString(const std::vector<uint8_t>& bytes, size_t start = 0, ptrdiff_t count = -1) const;
  std::vector<uint8_t> GetBytes(std::u16string_view text, size_t start, ptrdiff_t count) const;
  std::u16string GetChars(const std::vector<uint8_t>& bytes) const { return GetString(bytes); }
};

using TIdTextEncoding = std::shared_ptr<const IIdTextEncoding>;

// Shared per-process instances, created on first use.
TIdTextEncoding IndyTextEncoding_ASCII();
TIdTextEncoding IndyTextEncoding_8Bit();
TIdTextEncoding IndyTextEncoding_UTF8();
TIdTextEncoding IndyTextEncoding_UTF16LE();
TIdTextEncoding IndyTextEncoding_UTF16BE();
TIdTextEncoding IndyTextEncoding_UTF7();
// The process-wide default encoding: ASCII.
TIdTextEncoding IndyTextEncoding_Default();

// The encoding for a Windows code page number: 1200 UTF-16LE, 1201 UTF-16BE, 20127 ASCII,
// 65000 UTF-7, 65001 UTF-8, any other a code-page encoding; an unsupported number raises
// EIdException "Invalid codepage (%d)".
TIdTextEncoding IndyTextEncoding(int codePage);

// Charset name to encoding; never empty (the 8-bit encoding when the name is empty, unknown,
// has no code page, or its encoding cannot be made).
TIdTextEncoding EncodingForCharset(std::u16string_view name);

}  // namespace tessarine::net
