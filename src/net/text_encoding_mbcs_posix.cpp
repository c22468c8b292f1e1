// Code-page encodings. Windows code pages are converted through glibc iconv; 28591 (ISO-8859-1), the charset of
// every local answer, is converted here directly.

#include <iconv.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/exception.h"
#include "net/text_encoding.h"

namespace tessarine::net {

struct TIdMBCSEncoding::Info {
  int codePage;
  const char* iconvName;  // null: converted directly
  int maxCharSize;
};

namespace {

using CodePageInfo = TIdMBCSEncoding::Info;

// Sorted by code page. Only code pages that glibc converts faithfully are listed; any other number is
// "Invalid codepage".
constexpr CodePageInfo kCodePages[] = {
    {37, "IBM037", 1},          {437, "IBM437", 1},         {500, "IBM500", 1},         {708, "ASMO-708", 1},
    {737, "CP737", 1},          {775, "CP775", 1},          {850, "IBM850", 1},         {852, "IBM852", 1},
    {855, "IBM855", 1},         {857, "IBM857", 1},         {858, "IBM858", 1},         {860, "IBM860", 1},
    {861, "IBM861", 1},         {862, "IBM862", 1},         {863, "IBM863", 1},         {864, "IBM864", 1},
    {865, "IBM865", 1},         {866, "IBM866", 1},         {869, "IBM869", 1},         {870, "IBM870", 1},
    {874, "WINDOWS-874", 1},    {875, "IBM875", 1},         {932, "CP932", 2},          {936, "CP936", 2},
    {949, "CP949", 2},          {950, "CP950", 2},          {1026, "IBM1026", 1},       {1047, "IBM1047", 1},
    {1140, "IBM1140", 1},       {1141, "IBM1141", 1},       {1142, "IBM1142", 1},       {1143, "IBM1143", 1},
    {1144, "IBM1144", 1},       {1145, "IBM1145", 1},       {1146, "IBM1146", 1},       {1147, "IBM1147", 1},
    {1148, "IBM1148", 1},       {1149, "IBM1149", 1},       {1250, "CP1250", 1},        {1251, "CP1251", 1},
    {1252, "CP1252", 1},        {1253, "CP1253", 1},        {1254, "CP1254", 1},        {1255, "CP1255", 1},
    {1256, "CP1256", 1},        {1257, "CP1257", 1},        {1258, "CP1258", 1},        {1361, "JOHAB", 2},
    {10000, "MACINTOSH", 1},    {10007, "MAC-CYRILLIC", 1}, {10017, "MACUKRAINIAN", 1}, {10029, "MAC-CENTRALEUROPE", 1},
    {10079, "MAC-IS", 1},       {12000, "UTF-32LE", 4},     {12001, "UTF-32BE", 4},     {20106, "DIN_66003", 1},
    {20107, "SEN_850200_B", 1}, {20108, "NS_4551-1", 1},    {20261, "T.61-8BIT", 2},    {20269, "ISO_6937", 2},
    {20273, "IBM273", 1},       {20277, "IBM277", 1},       {20278, "IBM278", 1},       {20280, "IBM280", 1},
    {20284, "IBM284", 1},       {20285, "IBM285", 1},       {20290, "IBM290", 1},       {20297, "IBM297", 1},
    {20420, "IBM420", 1},       {20423, "IBM423", 1},       {20424, "IBM424", 1},       {20866, "KOI8-R", 1},
    {20871, "IBM871", 1},       {20880, "IBM880", 1},       {20905, "IBM905", 1},       {20932, "EUC-JP", 3},
    {20936, "EUC-CN", 2},       {20949, "EUC-KR", 2},       {21025, "IBM1025", 1},      {21866, "KOI8-U", 1},
    {28591, nullptr, 1},        {28592, "ISO-8859-2", 1},   {28593, "ISO-8859-3", 1},   {28594, "ISO-8859-4", 1},
    {28595, "ISO-8859-5", 1},   {28596, "ISO-8859-6", 1},   {28597, "ISO-8859-7", 1},   {28598, "ISO-8859-8", 1},
    {28599, "ISO-8859-9", 1},   {28603, "ISO-8859-13", 1},  {28605, "ISO-8859-15", 1},  {38598, "ISO-8859-8", 1},
    {50220, "ISO-2022-JP", 5},  {50221, "ISO-2022-JP", 5},  {50222, "ISO-2022-JP", 5},  {50225, "ISO-2022-KR", 5},
    {50227, "ISO-2022-CN", 5},  {51932, "EUC-JP", 3},       {51936, "EUC-CN", 2},       {51949, "EUC-KR", 2},
    {54936, "GB18030", 4},
};

constexpr size_t kCodePageCount = std::size(kCodePages);

const char* const kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// One descriptor per conversion: an iconv_t holds shift state and must not be shared between threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(m_cd);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return m_cd != reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1)); }
  iconv_t get() const { return m_cd; }

 private:
  iconv_t m_cd;
};

// Whether glibc on this machine converts the code page both ways; probed once per table row.
bool available(size_t row) {
  static std::array<std::atomic<int>, kCodePageCount> known{};  // 0 unknown, 1 yes, -1 no
  int state = known[row].load(std::memory_order_acquire);
  if (state == 0) {
    const char* name = kCodePages[row].iconvName;
    state = Converter(kUtf16, name).ok() && Converter(name, kUtf16).ok() ? 1 : -1;
    known[row].store(state, std::memory_order_release);
  }
  return state == 1;
}

const CodePageInfo* findCodePage(int codePage) {
  const auto* it = std::lower_bound(std::begin(kCodePages), std::end(kCodePages), codePage,
                                    [](const CodePageInfo& info, int cp) { return info.codePage < cp; });
  if (it == std::end(kCodePages) || it->codePage != codePage) return nullptr;
  if (it->iconvName != nullptr && !available(static_cast<size_t>(it - std::begin(kCodePages)))) return nullptr;
  return it;
}

// Runs iconv over the whole input, appending output through a fixed buffer. onError is called with errno
// (EILSEQ or EINVAL) and the unconverted input; it advances the input (or empties it to stop) and may append.
template <typename Out, typename OnError>
void convert(iconv_t cd, const char* in, size_t inLeft, Out& out, OnError&& onError) {
  char buffer[4096];
  auto flush = [&](char* end) { out.insert(out.end(), buffer, end); };
  // iconv's signature takes a non-const input pointer although it never writes through it.
  char* inPtr = const_cast<char*>(in);
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const int error = rc == static_cast<size_t>(-1) ? errno : 0;
    flush(outPtr);
    if (error == EILSEQ || error == EINVAL) {
      const char* at = inPtr;
      onError(error, at, inLeft);
      inPtr = const_cast<char*>(at);
    } else if (error != 0 && error != E2BIG) {
      throw EIdException("Character conversion failed: " + std::string(std::strerror(error)));
    }
  }
  // Back to the initial shift state (ISO-2022 needs its closing escape).
  char* outPtr = buffer;
  size_t outLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  flush(outPtr);
}

EIdException invalidCodePage(int codePage) {
  return EIdException("Invalid codepage (" + std::to_string(codePage) + ")");
}

bool isPairAt(std::u16string_view text, size_t i) {
  return text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
         text[i + 1] <= 0xDFFF;
}

std::vector<uint8_t> encodeIconv(const CodePageInfo& info, std::u16string_view text) {
  std::vector<uint8_t> out;
  if (text.empty()) return out;
  Converter conv(info.iconvName, kUtf16);
  if (!conv.ok()) throw invalidCodePage(info.codePage);
  out.reserve(text.size());
  const auto* start = reinterpret_cast<const char*>(text.data());
  const size_t byteCount = text.size() * sizeof(char16_t);
  convert(conv.get(), start, byteCount, out, [&](int, const char*& at, size_t& left) {
    // The character the code page cannot hold (or an unpaired surrogate) becomes the code page's own "?",
    // written from the initial shift state.
    const size_t index = static_cast<size_t>(at - start) / sizeof(char16_t);
    const size_t skip = std::min(left, (isPairAt(text, index) ? 2 : 1) * sizeof(char16_t));
    char buffer[16];
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(conv.get(), nullptr, nullptr, &outPtr, &outLeft);
    const char16_t question = u'?';
    char* qPtr = const_cast<char*>(reinterpret_cast<const char*>(&question));
    size_t qLeft = sizeof question;
    iconv(conv.get(), &qPtr, &qLeft, &outPtr, &outLeft);
    out.insert(out.end(), buffer, outPtr);
    at += skip;
    left -= skip;
  });
  return out;
}

std::u16string decodeIconv(const CodePageInfo& info, const uint8_t* bytes, size_t count) {
  std::u16string text;
  if (count == 0) return text;
  Converter conv(kUtf16, info.iconvName);
  if (!conv.ok()) throw invalidCodePage(info.codePage);
  std::string out;
  out.reserve(count * 2);
  convert(conv.get(), reinterpret_cast<const char*>(bytes), count, out,
          [&out](int error, const char*& at, size_t& left) {
            out.append(reinterpret_cast<const char*>(u"\uFFFD"), sizeof(char16_t));
            // EINVAL: the input ends inside a character; the rest is that one incomplete character.
            const size_t skip = error == EINVAL ? left : 1;
            at += skip;
            left -= skip;
          });
  text.resize(out.size() / sizeof(char16_t));
  std::memcpy(text.data(), out.data(), text.size() * sizeof(char16_t));
  return text;
}

}  // namespace

TIdMBCSEncoding::TIdMBCSEncoding(int codePage) : m_codePage(codePage) {
  m_info = findCodePage(codePage);
  if (m_info == nullptr) throw invalidCodePage(codePage);
}

int TIdMBCSEncoding::MaxCharSize() const { return m_info->maxCharSize; }

std::vector<uint8_t> TIdMBCSEncoding::GetBytes(std::u16string_view text) const {
  if (m_info->iconvName != nullptr) return encodeIconv(*m_info, text);
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
  if (m_info->iconvName != nullptr) return encodeIconv(*m_info, text).size();
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i, ++count) {
    if (isPairAt(text, i)) ++i;
  }
  return count;
}

std::u16string TIdMBCSEncoding::GetString(const uint8_t* bytes, size_t count) const {
  if (m_info->iconvName != nullptr) return decodeIconv(*m_info, bytes, count);
  return std::u16string(bytes, bytes + count);
}

size_t TIdMBCSEncoding::GetCharCount(const uint8_t* bytes, size_t count) const {
  if (m_info->iconvName != nullptr) return decodeIconv(*m_info, bytes, count).size();
  return count;
}

}  // namespace tessarine::net
