#include "net/client/compressor_zlib.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace tessarine::client {

namespace {

constexpr size_t kStreamPiece = 64 * 1024;
// zlib counts input in `unsigned`; an in-memory body larger than this goes over in several pieces.
constexpr size_t kMemoryPiece = size_t{1} << 30;
constexpr unsigned kWindowSize = 32 * 1024;
constexpr int kZlibWindowBits = 15;
constexpr int kGzipWindowBits = 16 + 15;

std::string errorText(int zlibCode) { return "ZLib Error (" + std::to_string(zlibCode) + ")"; }

// Hands the input to zlib from the stream's position on: an in-memory stream as one piece, any other stream
// in reads of up to 64 KB. The stream's position passes every byte handed over.
class InputSource {
 public:
  explicit InputSource(TStream& in) : m_in(in), m_memory(dynamic_cast<TMemoryStream*>(&in)) {}

  // The next piece; 0 at the end of the stream.
  size_t Next(const uint8_t*& data) {
    if (m_memory) {
      const int64_t position = m_memory->Position();
      if (position >= m_memory->Size()) return 0;
      const size_t n = std::min(static_cast<size_t>(m_memory->Size() - position), kMemoryPiece);
      data = m_memory->Bytes().data() + position;
      m_memory->SetPosition(position + static_cast<int64_t>(n));
      return n;
    }
    if (!m_buffer) m_buffer = std::make_unique<uint8_t[]>(kStreamPiece);
    data = m_buffer.get();
    return m_in.Read(m_buffer.get(), kStreamPiece);
  }

 private:
  TStream& m_in;
  TMemoryStream* m_memory;
  std::unique_ptr<uint8_t[]> m_buffer;
};

// Consumes a stream header of the kind the window bits select (15 zlib, 31 gzip) at in's position and
// returns true; without one the position is left where it was. Z_BLOCK makes inflate stop right after the
// header, before the first deflate block; bit 128 of data_type tells that it got there.
bool consumeHeader(TStream& in, int windowBits) {
  const int64_t start = in.Position();
  z_stream strm{};
  const int init = inflateInit2_(&strm, windowBits, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
  if (init != Z_OK) throw EDecompressionError(init);
  InputSource source(in);
  unsigned char sink[1];
  bool found = false;
  for (;;) {
    const uint8_t* data = nullptr;
    const size_t n = source.Next(data);
    if (n == 0) break;
    strm.next_in = data;
    strm.avail_in = static_cast<uInt>(n);
    strm.next_out = sink;
    strm.avail_out = sizeof sink;
    const int result = inflate(&strm, Z_BLOCK);
    if (result != Z_OK) break;
    if (strm.data_type & 128) {
      found = true;
      break;
    }
    // A header cut short by the end of a piece takes all of it; anything else is not a header.
    if (strm.avail_in != 0) break;
  }
  const int64_t consumed = static_cast<int64_t>(strm.total_in);
  inflateEnd(&strm);
  in.SetPosition(found ? start + consumed : start);
  return found;
}

struct BackContext {
  InputSource source;
  TStream& out;
  // A stream failure cannot travel through zlib's frames; it is carried across and raised afterwards.
  std::exception_ptr error;
};

unsigned pullInput(void* desc, const unsigned char** buffer) {
  auto* context = static_cast<BackContext*>(desc);
  try {
    const uint8_t* data = nullptr;
    const size_t n = context->source.Next(data);
    *buffer = data;
    return static_cast<unsigned>(n);
  } catch (...) {
    context->error = std::current_exception();
    return 0;
  }
}

int pushOutput(void* desc, unsigned char* buffer, unsigned length) {
  auto* context = static_cast<BackContext*>(desc);
  try {
    context->out.Write(buffer, length);
    return 0;
  } catch (...) {
    context->error = std::current_exception();
    return 1;
  }
}

void requireBytes(const TStream& in, int64_t count) {
  if (count > in.Size() - in.Position()) throw EDecompressionError(Z_BUF_ERROR);
}

void skipBytes(TStream& in, int64_t count) {
  requireBytes(in, count);
  in.SetPosition(in.Position() + count);
}

uint8_t readByte(TStream& in) {
  uint8_t byte = 0;
  if (in.Read(&byte, 1) != 1) throw EDecompressionError(Z_BUF_ERROR);
  return byte;
}

// Moves past the next zero byte (the end of a gzip FNAME or FCOMMENT field).
void skipPastZero(TStream& in) {
  uint8_t buffer[4096];
  for (;;) {
    const int64_t start = in.Position();
    const size_t n = in.Read(buffer, sizeof buffer);
    if (n == 0) throw EDecompressionError(Z_BUF_ERROR);
    if (const void* zero = std::memchr(buffer, 0, n)) {
      in.SetPosition(start + (static_cast<const uint8_t*>(zero) - buffer) + 1);
      return;
    }
  }
}

}  // namespace

EDecompressionError::EDecompressionError(int zlibCode) : EIdException(errorText(zlibCode)), m_code(zlibCode) {}

void TIdCompressorZLib::DecompressGZipStream(TStream& in, TStream& out) {
  // RFC 1952 2.3: ID1 ID2 CM, FLG, MTIME XFL OS; then the optional fields in the order of their flags.
  // The magic bytes are not checked.
  skipBytes(in, 3);
  const uint8_t flags = readByte(in);
  skipBytes(in, 6);
  if (flags & 0x04) {  // FEXTRA
    const uint8_t low = readByte(in);
    const uint8_t high = readByte(in);
    skipBytes(in, low | (high << 8));
  }
  if (flags & 0x08) skipPastZero(in);  // FNAME
  if (flags & 0x10) skipPastZero(in);  // FCOMMENT
  if (flags & 0x02) skipBytes(in, 2);  // FHCRC
  const int64_t headerEnd = in.Position();
  // Without room for the trailer the member is cut short; cutting it would eat into the header.
  requireBytes(in, 8);
  // A zlib header over the last two header bytes lets InflateStream take the deflate data from there.
  static constexpr uint8_t kZlibHeader[2] = {0x78, 0x9C};
  in.SetPosition(headerEnd - 2);
  in.Write(kZlibHeader, sizeof kZlibHeader);
  in.SetPosition(headerEnd - 2);
  in.SetSize(in.Size() - 8);
  InflateStream(in, out);
}

void TIdCompressorZLib::DecompressDeflateStream(TStream& in, TStream& out) { InflateStream(in, out); }

void TIdCompressorZLib::InflateStream(TStream& in, TStream& out) {
  if (!consumeHeader(in, kZlibWindowBits)) consumeHeader(in, kGzipWindowBits);

  z_stream strm{};
  auto window = std::make_unique<unsigned char[]>(kWindowSize);
  const int init =
      inflateBackInit_(&strm, kZlibWindowBits, window.get(), ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
  if (init != Z_OK) throw EDecompressionError(init);
  BackContext context{InputSource(in), out, nullptr};
  strm.next_in = nullptr;
  strm.avail_in = 0;
  const int result = inflateBack(&strm, pullInput, &context, pushOutput, &context);
  const unsigned unused = strm.avail_in;
  inflateBackEnd(&strm);
  in.SetPosition(in.Position() - unused);
  if (context.error) std::rethrow_exception(context.error);
  if (result < 0) throw EDecompressionError(result);
}

}  // namespace tessarine::client
