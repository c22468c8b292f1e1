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
  std::u16string GetChars(const std::vector<uint8_t>& bytes, size_t start = 0, ptrdiff_t count = -1) const {
    return GetString(bytes, start, count);
  }
};

using TIdTextEncoding = std::shared_ptr<const IIdTextEncoding>;

// Below U+0080 the same byte, else "?"; bytes from 0x80 decode to U+FFFD.
class TIdASCIIEncoding : public IIdTextEncoding {
 public:
  using IIdTextEncoding::GetBytes;
  using IIdTextEncoding::GetString;
  std::vector<uint8_t> GetBytes(std::u16string_view text) const override;
  size_t GetByteCount(std::u16string_view text) const override;
  std::u16string GetString(const uint8_t* bytes, size_t count) const override;
  size_t GetCharCount(const uint8_t* bytes, size_t count) const override;
  std::vector<uint8_t> GetPreamble() const override { return {}; }
  bool IsSingleByte() const override { return true; }
  int MaxCharSize() const override { return 1; }
};

// One character per byte: below U+0100 the same byte, else "?"; byte b decodes to U+00bb.
class TId8BitEncoding : public IIdTextEncoding {
 public:
  using IIdTextEncoding::GetBytes;
  using IIdTextEncoding::GetString;
  std::vector<uint8_t> GetBytes(std::u16string_view text) const override;
  size_t GetByteCount(std::u16string_view text) const override;
  std::u16string GetString(const uint8_t* bytes, size_t count) const override;
  size_t GetCharCount(const uint8_t* bytes, size_t count) const override;
  std::vector<uint8_t> GetPreamble() const override { return {}; }
  bool IsSingleByte() const override { return true; }
  int MaxCharSize() const override { return 1; }
};

// Unpaired surrogates encode as U+FFFD; malformed input decodes to one U+FFFD per maximal subpart
// (Unicode 3.9, "U+FFFD Substitution of Maximal Subparts").
class TIdUTF8Encoding : public IIdTextEncoding {
 public:
  using IIdTextEncoding::GetBytes;
  using IIdTextEncoding::GetString;
  std::vector<uint8_t> GetBytes(std::u16string_view text) const override;
  size_t GetByteCount(std::u16string_view text) const override;
  std::u16string GetString(const uint8_t* bytes, size_t count) const override;
  size_t GetCharCount(const uint8_t* bytes, size_t count) const override;
  std::vector<uint8_t> GetPreamble() const override { return {0xEF, 0xBB, 0xBF}; }
  bool IsSingleByte() const override { return false; }
  int MaxCharSize() const override { return 4; }
};

// UTF-16 in either byte order. Unpaired surrogates become U+FFFD both ways; an odd trailing byte decodes
// to U+FFFD.
class TIdUTF16Encoding : public IIdTextEncoding {
 public:
  explicit TIdUTF16Encoding(bool bigEndian) : m_bigEndian(bigEndian) {}
  using IIdTextEncoding::GetBytes;
  using IIdTextEncoding::GetString;
  std::vector<uint8_t> GetBytes(std::u16string_view text) const override;
  size_t GetByteCount(std::u16string_view text) const override;
  std::u16string GetString(const uint8_t* bytes, size_t count) const override;
  size_t GetCharCount(const uint8_t* bytes, size_t count) const override;
  std::vector<uint8_t> GetPreamble() const override;
  bool IsSingleByte() const override { return false; }
  int MaxCharSize() const override { return 4; }

 private:
  bool m_bigEndian;
};

// RFC 2152. Set D and blanks go out directly, everything else in base64 runs that always end with "-".
// Malformed input (a byte above 0x7F, a broken run, an unpaired surrogate) decodes to U+FFFD.
class TIdUTF7Encoding : public IIdTextEncoding {
 public:
  using IIdTextEncoding::GetBytes;
  using IIdTextEncoding::GetString;
  std::vector<uint8_t> GetBytes(std::u16string_view text) const override;
  size_t GetByteCount(std::u16string_view text) const override;
  std::u16string GetString(const uint8_t* bytes, size_t count) const override;
  size_t GetCharCount(const uint8_t* bytes, size_t count) const override;
  std::vector<uint8_t> GetPreamble() const override { return {}; }
  bool IsSingleByte() const override { return false; }
  int MaxCharSize() const override { return 5; }
};

// A Windows code page converted through the system's converter (iconv; MultiByteToWideChar on Windows), 28591
// directly. A character the code page cannot hold becomes the code page's "?"; an undecodable byte becomes U+FFFD. The
// constructor raises EIdException "Invalid codepage (%d)" for a code page this system cannot convert.
class TIdMBCSEncoding : public IIdTextEncoding {
 public:
  explicit TIdMBCSEncoding(int codePage);
  using IIdTextEncoding::GetBytes;
  using IIdTextEncoding::GetString;
  std::vector<uint8_t> GetBytes(std::u16string_view text) const override;
  size_t GetByteCount(std::u16string_view text) const override;
  std::u16string GetString(const uint8_t* bytes, size_t count) const override;
  size_t GetCharCount(const uint8_t* bytes, size_t count) const override;
  std::vector<uint8_t> GetPreamble() const override { return {}; }
  bool IsSingleByte() const override { return MaxCharSize() == 1; }
  int MaxCharSize() const override;
  int CodePage() const { return m_codePage; }

  struct Info;

 private:
  int m_codePage;
  const Info* m_info;  // a row of the code page table: converter name and character size
};

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
