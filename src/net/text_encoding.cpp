#include "net/text_encoding.h"

#include <string>

#include "common/exception.h"
#include "net/charset_registry.h"

namespace tessarine::net {

namespace {

// Resolves a (start, count) pair against a length; -1 counts to the end. Bad ranges are a caller's bug and
// raise rather than read outside the buffer.
size_t checkedCount(size_t length, size_t start, ptrdiff_t count, const char* what) {
  if (start > length) {
    throw EIdException(std::string(what) + " index out of bounds (" + std::to_string(start) + ")");
  }
  if (count == -1) return length - start;
  if (count < 0 || static_cast<size_t>(count) > length - start) {
    throw EIdException("Invalid count (" + std::to_string(count) + ")");
  }
  return static_cast<size_t>(count);
}

}  // namespace

std::u16string IIdTextEncoding::GetString(const std::vector<uint8_t>& bytes, size_t start, ptrdiff_t count) const {
  const size_t n = checkedCount(bytes.size(), start, count, "Byte");
  return GetString(bytes.data() + start, n);
}

std::vector<uint8_t> IIdTextEncoding::GetBytes(std::u16string_view text, size_t start, ptrdiff_t count) const {
  const size_t n = checkedCount(text.size(), start, count, "Character");
  return GetBytes(text.substr(start, n));
}

// ASCII

std::vector<uint8_t> TIdASCIIEncoding::GetBytes(std::u16string_view text) const {
  std::vector<uint8_t> out(text.size());
  for (size_t i = 0; i < text.size(); ++i) out[i] = text[i] < 0x80 ? static_cast<uint8_t>(text[i]) : '?';
  return out;
}

size_t TIdASCIIEncoding::GetByteCount(std::u16string_view text) const { return text.size(); }

std::u16string TIdASCIIEncoding::GetString(const uint8_t* bytes, size_t count) const {
  std::u16string out(count, u'\0');
  for (size_t i = 0; i < count; ++i) out[i] = bytes[i] < 0x80 ? bytes[i] : u'\uFFFD';
  return out;
}

size_t TIdASCIIEncoding::GetCharCount(const uint8_t*, size_t count) const { return count; }

// 8-bit

std::vector<uint8_t> TId8BitEncoding::GetBytes(std::u16string_view text) const {
  std::vector<uint8_t> out(text.size());
  for (size_t i = 0; i < text.size(); ++i) out[i] = text[i] < 0x100 ? static_cast<uint8_t>(text[i]) : '?';
  return out;
}

size_t TId8BitEncoding::GetByteCount(std::u16string_view text) const { return text.size(); }

std::u16string TId8BitEncoding::GetString(const uint8_t* bytes, size_t count) const {
  return std::u16string(bytes, bytes + count);
}

size_t TId8BitEncoding::GetCharCount(const uint8_t*, size_t count) const { return count; }

// Shared instances. Function-local statics give the once-per-process creation with the needed
// synchronisation; the objects are immutable afterwards.

TIdTextEncoding IndyTextEncoding_ASCII() {
  static const TIdTextEncoding instance = std::make_shared<TIdASCIIEncoding>();
  return instance;
}

TIdTextEncoding IndyTextEncoding_8Bit() {
  static const TIdTextEncoding instance = std::make_shared<TId8BitEncoding>();
  return instance;
}

TIdTextEncoding IndyTextEncoding_UTF8() {
  static const TIdTextEncoding instance = std::make_shared<TIdUTF8Encoding>();
  return instance;
}

TIdTextEncoding IndyTextEncoding_UTF16LE() {
  static const TIdTextEncoding instance = std::make_shared<TIdUTF16Encoding>(false);
  return instance;
}

TIdTextEncoding IndyTextEncoding_UTF16BE() {
  static const TIdTextEncoding instance = std::make_shared<TIdUTF16Encoding>(true);
  return instance;
}

TIdTextEncoding IndyTextEncoding_UTF7() {
  static const TIdTextEncoding instance = std::make_shared<TIdUTF7Encoding>();
  return instance;
}

TIdTextEncoding IndyTextEncoding_Default() { return IndyTextEncoding_ASCII(); }

TIdTextEncoding IndyTextEncoding(int codePage) {
  switch (codePage) {
    case 1200:
      return IndyTextEncoding_UTF16LE();
    case 1201:
      return IndyTextEncoding_UTF16BE();
    case 20127:
      return IndyTextEncoding_ASCII();
    case 65000:
      return IndyTextEncoding_UTF7();
    case 65001:
      return IndyTextEncoding_UTF8();
    default:
      return std::make_shared<TIdMBCSEncoding>(codePage);
  }
}

TIdTextEncoding EncodingForCharset(std::u16string_view name) {
  if (name.empty()) return IndyTextEncoding_8Bit();
  const auto codePage = CharsetCodePage(name);
  if (!codePage || *codePage == 0) return IndyTextEncoding_8Bit();
  try {
    return IndyTextEncoding(*codePage);
  } catch (const EIdException&) {
    // A registered charset this system cannot convert reads one character per byte, like an unknown one.
    return IndyTextEncoding_8Bit();
  }
}

}  // namespace tessarine::net
