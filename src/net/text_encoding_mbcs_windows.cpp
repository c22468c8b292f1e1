// Code-page encodings on Windows: the system's MultiByteToWideChar and WideCharToMultiByte. The code pages are the
// ones the POSIX build converts, so that a charset converts on both or on neither; 28591 (ISO-8859-1), the charset
// of every local answer, is converted here directly.

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <iterator>
#include <string>

#include "common/exception.h"
#include "net/text_encoding.h"

namespace tessarine::net {

struct TIdMBCSEncoding::Info {
  int codePage;
  int maxCharSize;
};

namespace {

using CodePageInfo = TIdMBCSEncoding::Info;

constexpr int kDirect = 28591;

// Sorted by code page.
constexpr CodePageInfo kCodePages[] = {
    {37, 1},    {437, 1},   {500, 1},   {708, 1},   {737, 1},   {775, 1},   {850, 1},   {852, 1},   {855, 1},
    {857, 1},   {858, 1},   {860, 1},   {861, 1},   {862, 1},   {863, 1},   {864, 1},   {865, 1},   {866, 1},
    {869, 1},   {870, 1},   {874, 1},   {875, 1},   {932, 2},   {936, 2},   {949, 2},   {950, 2},   {1026, 1},
    {1047, 1},  {1140, 1},  {1141, 1},  {1142, 1},  {1143, 1},  {1144, 1},  {1145, 1},  {1146, 1},  {1147, 1},
    {1148, 1},  {1149, 1},  {1250, 1},  {1251, 1},  {1252, 1},  {1253, 1},  {1254, 1},  {1255, 1},  {1256, 1},
    {1257, 1},  {1258, 1},  {1361, 2},  {10000, 1}, {10007, 1}, {10017, 1}, {10029, 1}, {10079, 1}, {12000, 4},
    {12001, 4}, {20106, 1}, {20107, 1}, {20108, 1}, {20261, 2}, {20269, 2}, {20273, 1}, {20277, 1}, {20278, 1},
    {20280, 1}, {20284, 1}, {20285, 1}, {20290, 1}, {20297, 1}, {20420, 1}, {20423, 1}, {20424, 1}, {20866, 1},
    {20871, 1}, {20880, 1}, {20905, 1}, {20932, 3}, {20936, 2}, {20949, 2}, {21025, 1}, {21866, 1}, {28591, 1},
    {28592, 1}, {28593, 1}, {28594, 1}, {28595, 1}, {28596, 1}, {28597, 1}, {28598, 1}, {28599, 1}, {28603, 1},
    {28605, 1}, {38598, 1}, {50220, 5}, {50221, 5}, {50222, 5}, {50225, 5}, {50227, 5}, {51932, 3}, {51936, 2},
    {51949, 2}, {54936, 4},
};

EIdException invalidCodePage(int codePage) {
  return EIdException("Invalid codepage (" + std::to_string(codePage) + ")");
}

// Whether the system converts the code page both ways (Wine, for one, lacks some tables it calls valid); probed
// once per table row.
bool available(size_t row) {
  static std::array<std::atomic<int>, std::size(kCodePages)> known{};  // 0 unknown, 1 yes, -1 no
  int state = known[row].load(std::memory_order_acquire);
  if (state == 0) {
    const UINT cp = static_cast<UINT>(kCodePages[row].codePage);
    wchar_t wide[4] = {};
    char bytes[16] = {};
    state = IsValidCodePage(cp) && WideCharToMultiByte(cp, 0, L"A", 1, bytes, sizeof bytes, nullptr, nullptr) > 0 &&
                    MultiByteToWideChar(cp, 0, bytes, 1, wide, 4) > 0
                ? 1
                : -1;
    known[row].store(state, std::memory_order_release);
  }
  return state == 1;
}

const CodePageInfo* findCodePage(int codePage) {
  const auto* it = std::lower_bound(std::begin(kCodePages), std::end(kCodePages), codePage,
                                    [](const CodePageInfo& info, int cp) { return info.codePage < cp; });
  if (it == std::end(kCodePages) || it->codePage != codePage) return nullptr;
  if (codePage != kDirect && !available(static_cast<size_t>(it - std::begin(kCodePages)))) return nullptr;
  return it;
}

bool isPairAt(std::u16string_view text, size_t i) {
  return text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
         text[i + 1] <= 0xDFFF;
}

// The whole input in one call, or false when the system refuses it (flags 0 never refuse a character).
bool decodeRange(int codePage, DWORD flags, const uint8_t* bytes, size_t count, std::u16string& out) {
  if (count == 0) return true;
  if (count > INT_MAX) throw EIdException("Character conversion failed: input too large");
  const auto* in = reinterpret_cast<const char*>(bytes);
  const int size = MultiByteToWideChar(static_cast<UINT>(codePage), flags, in, static_cast<int>(count), nullptr, 0);
  if (size <= 0) return false;
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(static_cast<UINT>(codePage), flags, in, static_cast<int>(count), wide.data(), size);
  out.append(wide.begin(), wide.end());
  return true;
}

std::u16string decodeSystem(const CodePageInfo& info, const uint8_t* bytes, size_t count) {
  std::u16string text;
  if (count == 0) return text;
  if (decodeRange(info.codePage, MB_ERR_INVALID_CHARS, bytes, count, text)) return text;
  // Some code pages take no flags at all; their undecodable bytes are the system's to replace.
  if (GetLastError() == ERROR_INVALID_FLAGS || info.maxCharSize > 2) {
    text.clear();
    if (!decodeRange(info.codePage, 0, bytes, count, text)) throw invalidCodePage(info.codePage);
    return text;
  }
  // Character by character: each byte (or lead and trail byte) the code page does not define becomes U+FFFD,
  // and so does a lead byte cut off at the end.
  text.clear();
  const UINT cp = static_cast<UINT>(info.codePage);
  size_t i = 0;
  while (i < count) {
    const size_t length = info.maxCharSize == 2 && IsDBCSLeadByteEx(cp, bytes[i]) ? 2 : 1;
    if (i + length > count) {
      text.push_back(u'\uFFFD');
      break;
    }
    if (decodeRange(info.codePage, MB_ERR_INVALID_CHARS, bytes + i, length, text)) {
      i += length;
    } else {
      text.push_back(u'\uFFFD');
      ++i;
    }
  }
  return text;
}

// Code pages whose conversion to bytes takes no flags and cannot report a default character.
bool takesNoFlags(int codePage) {
  return codePage == 42 || (codePage >= 50220 && codePage <= 50229) || codePage == 52936 || codePage == 54936 ||
         (codePage >= 57002 && codePage <= 57011) || codePage == 65000 || codePage == 65001;
}

// Appends the bytes of text; true when every character had bytes of its own.
bool encodeRange(int codePage, std::u16string_view text, std::vector<uint8_t>& out) {
  const UINT cp = static_cast<UINT>(codePage);
  const std::wstring wide(text.begin(), text.end());
  const int length = static_cast<int>(wide.size());
  // No best fit: a character the code page does not hold becomes its default character, not a look-alike
  // (Windows would otherwise write "A" for "Ä", or a quote for a full-width quote).
  const DWORD flags = takesNoFlags(codePage) ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = takesNoFlags(codePage) ? nullptr : &usedDefault;
  const int size = WideCharToMultiByte(cp, flags, wide.data(), length, nullptr, 0, nullptr, used);
  if (size <= 0) throw invalidCodePage(codePage);
  const size_t start = out.size();
  out.resize(start + static_cast<size_t>(size));
  WideCharToMultiByte(cp, flags, wide.data(), length, reinterpret_cast<char*>(out.data() + start), size, nullptr,
                      nullptr);
  return !usedDefault;
}

std::vector<uint8_t> encodeSystem(const CodePageInfo& info, std::u16string_view text) {
  std::vector<uint8_t> out;
  if (text.empty()) return out;
  if (text.size() > INT_MAX) throw EIdException("Character conversion failed: input too large");
  out.reserve(text.size());
  if (encodeRange(info.codePage, text, out)) return out;
  // Character by character, so that a character the code page cannot hold is one default character, a
  // surrogate pair included (the system would write one for each half).
  CPINFO cpInfo{};
  GetCPInfo(static_cast<UINT>(info.codePage), &cpInfo);
  const size_t defaultSize = cpInfo.DefaultChar[1] != 0 ? 2 : 1;
  out.clear();
  for (size_t i = 0; i < text.size();) {
    const size_t length = isPairAt(text, i) ? 2 : 1;
    const size_t before = out.size();
    if (!encodeRange(info.codePage, text.substr(i, length), out)) {
      out.resize(before);
      out.insert(out.end(), cpInfo.DefaultChar, cpInfo.DefaultChar + defaultSize);
    }
    i += length;
  }
  return out;
}

}  // namespace

TIdMBCSEncoding::TIdMBCSEncoding(int codePage) : m_codePage(codePage) {
  m_info = findCodePage(codePage);
  if (m_info == nullptr) throw invalidCodePage(codePage);
}

int TIdMBCSEncoding::MaxCharSize() const { return m_info->maxCharSize; }

std::vector<uint8_t> TIdMBCSEncoding::GetBytes(std::u16string_view text) const {
  if (m_codePage != kDirect) return encodeSystem(*m_info, text);
  // ISO-8859-1: U+0000..U+00FF are the bytes of the same value; anything else, a surrogate pair included,
  // is one "?".
  std::vector<uint8_t> out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u < 0x100) {
      out.push_back(static_cast<uint8_t>(u));
      continue;
    }
    if (isPairAt(text, i)) ++i;
    out.push_back('?');
  }
  return out;
}

size_t TIdMBCSEncoding::GetByteCount(std::u16string_view text) const {
  if (m_codePage != kDirect) return encodeSystem(*m_info, text).size();
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i, ++count) {
    if (isPairAt(text, i)) ++i;
  }
  return count;
}

std::u16string TIdMBCSEncoding::GetString(const uint8_t* bytes, size_t count) const {
  if (m_codePage != kDirect) return decodeSystem(*m_info, bytes, count);
  return std::u16string(bytes, bytes + count);
}

size_t TIdMBCSEncoding::GetCharCount(const uint8_t* bytes, size_t count) const {
  if (m_codePage != kDirect) return decodeSystem(*m_info, bytes, count).size();
  return count;
}

}  // namespace tessarine::net
