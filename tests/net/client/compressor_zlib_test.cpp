#include "net/client/compressor_zlib.h"

#include <gtest/gtest.h>

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/text.h"

using namespace tessarine;
using namespace tessarine::client;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kZlib = 15;
constexpr int kRaw = -15;
constexpr int kGzip = 31;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Words with some noise: compressible, yet not one long repeat.
Bytes sampleText(size_t size, unsigned seed = 1) {
  static const char* const words[] = {"translate ", "proxy ", "engine ", "reply ", "\xD0\xBF\xD1\x80\xD0\xB8 ", "\n"};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) {
    text += words[random() % 6];
    if (random() % 7 == 0) text += static_cast<char>(random() % 256);
  }
  text.resize(size);
  return bytesOf(text);
}

Bytes randomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// A deflater fed in segments, each with its own level and strategy, so one stream holds dynamic, stored and
// fixed blocks.
class Deflater {
 public:
  explicit Deflater(int windowBits, gz_header* header = nullptr) {
    EXPECT_EQ(deflateInit2_(&m_strm, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY, ZLIB_VERSION,
                            static_cast<int>(sizeof(z_stream))),
              Z_OK);
    if (header) {
      EXPECT_EQ(deflateSetHeader(&m_strm, header), Z_OK);
    }
  }
  ~Deflater() { deflateEnd(&m_strm); }

  Deflater& Add(const Bytes& data, int flush = Z_NO_FLUSH) {
    run(data, flush);
    return *this;
  }
  Deflater& Params(int level, int strategy) {
    run({}, Z_FULL_FLUSH);
    EXPECT_EQ(deflateParams(&m_strm, level, strategy), Z_OK);
    return *this;
  }
  Bytes Finish() {
    run({}, Z_FINISH);
    return m_out;
  }

 private:
  void run(const Bytes& data, int flush) {
    m_strm.next_in = data.data();
    m_strm.avail_in = static_cast<uInt>(data.size());
    int result;
    do {
      uint8_t piece[16384];
      m_strm.next_out = piece;
      m_strm.avail_out = sizeof piece;
      result = deflate(&m_strm, flush);
      ASSERT_NE(result, Z_STREAM_ERROR);
      m_out.insert(m_out.end(), piece, piece + (sizeof piece - m_strm.avail_out));
    } while (m_strm.avail_out == 0 || m_strm.avail_in != 0);
    if (flush == Z_FINISH) {
      ASSERT_EQ(result, Z_STREAM_END);
    }
  }

  z_stream m_strm{};
  Bytes m_out;
};

Bytes compress(const Bytes& data, int windowBits, gz_header* header = nullptr) {
  return Deflater(windowBits, header).Add(data).Finish();
}

// The optional gzip header fields, kept alive for the deflater.
struct GzipFields {
  explicit GzipFields(int flags) {
    if (flags & 0x04) {
      header.extra = extra;
      header.extra_len = sizeof extra;
    }
    if (flags & 0x08) header.name = name;
    if (flags & 0x10) header.comment = comment;
    header.hcrc = (flags & 0x02) != 0;
  }
  gz_header header{};
  uint8_t extra[7] = {'A', 'P', 3, 0, 0, 1, 2};  // a zero byte inside, which ends nothing
  uint8_t name[10] = "body.html";
  uint8_t comment[15] = "made for \xE9tude";
};

// A stream that is not in memory: reads hand out at most `piece` bytes, so headers and blocks arrive split.
class PiecewiseStream : public TStream {
 public:
  PiecewiseStream(Bytes bytes, size_t piece) : m_bytes(std::move(bytes)), m_piece(piece) {}
  int64_t Size() const override { return static_cast<int64_t>(m_bytes.size()); }
  void SetSize(int64_t size) override {
    m_bytes.resize(static_cast<size_t>(size));
    m_position = std::min(m_position, size);
  }
  size_t Read(void* buffer, size_t count) override {
    if (m_position >= Size()) return 0;
    const size_t n = std::min({count, m_piece, static_cast<size_t>(Size() - m_position)});
    std::memcpy(buffer, m_bytes.data() + m_position, n);
    m_position += static_cast<int64_t>(n);
    return n;
  }
  void Write(const void* buffer, size_t count) override {
    const size_t end = static_cast<size_t>(m_position) + count;
    if (end > m_bytes.size()) m_bytes.resize(end);
    std::memcpy(m_bytes.data() + m_position, buffer, count);
    m_position = static_cast<int64_t>(end);
  }

 private:
  Bytes m_bytes;
  size_t m_piece;
};

enum class Coding { Gzip, Deflate };

Bytes decode(Coding coding, TStream& in) {
  TIdCompressorZLib zlib;
  TMemoryStream out;
  if (coding == Coding::Gzip) {
    zlib.DecompressGZipStream(in, out);
  } else {
    zlib.DecompressDeflateStream(in, out);
  }
  return out.Bytes();
}

Bytes decode(Coding coding, const Bytes& body) {
  TMemoryStream in(body);
  return decode(coding, in);
}

// The zlib code the decoder raised; 0 when it decoded.
int failureCode(Coding coding, const Bytes& body) {
  try {
    decode(coding, body);
    return 0;
  } catch (const EDecompressionError& e) {
    EXPECT_EQ(e.Message(), u"ZLib Error (" + IntToStr(e.Code()) + u")");
    return e.Code();
  }
}

Bytes prefix(const Bytes& bytes, size_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n)); }

// Dynamic blocks, then over 64 KB of stored blocks, then fixed blocks.
Bytes multiBlockPlain() {
  Bytes plain = sampleText(100000);
  const Bytes noise = randomBytes(70000, 7);
  const Bytes tail = sampleText(40000, 3);
  plain.insert(plain.end(), noise.begin(), noise.end());
  plain.insert(plain.end(), tail.begin(), tail.end());
  return plain;
}

Bytes multiBlockBody(int windowBits, gz_header* header = nullptr) {
  const Bytes plain = multiBlockPlain();
  Deflater deflater(windowBits, header);
  deflater.Add(prefix(plain, 100000));
  deflater.Params(0, Z_DEFAULT_STRATEGY).Add(Bytes(plain.begin() + 100000, plain.begin() + 170000));
  deflater.Params(6, Z_FIXED).Add(Bytes(plain.begin() + 170000, plain.end()));
  return deflater.Finish();
}

}  // namespace

TEST(GzipBody, DecodesWithEachOptionalHeaderField) {
  const Bytes plain = sampleText(5000);
  for (int flags : {0x00, 0x04, 0x08, 0x10, 0x02, 0x1E}) {
    SCOPED_TRACE(flags);
    GzipFields fields(flags);
    const Bytes body = compress(plain, kGzip, &fields.header);
    ASSERT_EQ(body[3] & 0x1E, flags);
    EXPECT_EQ(decode(Coding::Gzip, body), plain);
  }
}

TEST(GzipBody, TrailerIsNeverChecked) {
  const Bytes plain = sampleText(3000);
  Bytes gzip = compress(plain, kGzip);
  for (size_t i = gzip.size() - 8; i < gzip.size(); ++i) gzip[i] ^= 0x5A;  // CRC-32 and length both wrong
  EXPECT_EQ(decode(Coding::Gzip, gzip), plain);

  Bytes zlib = compress(plain, kZlib);
  zlib.back() ^= 0x01;  // Adler-32
  EXPECT_EQ(decode(Coding::Deflate, zlib), plain);
}

TEST(GzipBody, StartsAtTheInputPositionAndWritesAtTheOutputPosition) {
  const Bytes plain = bytesOf("hello, hello, hello");
  Bytes body = bytesOf("JUNK");
  const Bytes gzip = compress(plain, kGzip);
  body.insert(body.end(), gzip.begin(), gzip.end());
  TMemoryStream in(body);
  in.SetPosition(4);
  TMemoryStream out(bytesOf("abc"));
  out.SetPosition(3);
  TIdCompressorZLib().DecompressGZipStream(in, out);
  EXPECT_EQ(out.Bytes(), bytesOf("abchello, hello, hello"));
  // The trailer is cut off, the deflate data consumed.
  EXPECT_EQ(in.Size(), static_cast<int64_t>(body.size() - 8));
  EXPECT_EQ(in.Position(), in.Size());
}

TEST(GzipBody, EveryTruncationRaisesBufferError) {
  GzipFields fields(0x1E);
  const Bytes gzip = compress(sampleText(2000), kGzip, &fields.header);
  for (size_t n = 0; n < gzip.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(failureCode(Coding::Gzip, prefix(gzip, n)), Z_BUF_ERROR);
  }
}

TEST(GzipBody, HeaderFieldsRunningPastTheEndRaiseBufferError) {
  const Bytes base = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0, 0x03};
  auto withFlags = [&](uint8_t flags, const Bytes& rest) {
    Bytes body = base;
    body[3] = flags;
    body.insert(body.end(), rest.begin(), rest.end());
    return body;
  };
  const Bytes fill(20, 0x03);  // enough bytes to look like data and trailer
  EXPECT_EQ(failureCode(Coding::Gzip, prefix(base, 9)), Z_BUF_ERROR);
  EXPECT_EQ(failureCode(Coding::Gzip, withFlags(0x04, {0xFF})), Z_BUF_ERROR);              // half a length
  EXPECT_EQ(failureCode(Coding::Gzip, withFlags(0x04, {0xFF, 0xFF, 1, 2})), Z_BUF_ERROR);  // 65535 bytes
  EXPECT_EQ(failureCode(Coding::Gzip, withFlags(0x08, fill)), Z_BUF_ERROR);                // no terminator
  EXPECT_EQ(failureCode(Coding::Gzip, withFlags(0x18, {'n', 0, 'c'})), Z_BUF_ERROR);       // comment unterminated
  EXPECT_EQ(failureCode(Coding::Gzip, withFlags(0x02, {0xAA})), Z_BUF_ERROR);
  // A header with fewer than 8 bytes after it has no room for a trailer.
  EXPECT_EQ(failureCode(Coding::Gzip, withFlags(0x00, {0x03, 0x00, 0, 0, 0, 0, 0})), Z_BUF_ERROR);
}

TEST(GzipBody, DamagedDataRaisesDataError) {
  Bytes body = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0, 0x03};
  body.insert(body.end(), 24, 0xFF);  // reserved block type
  EXPECT_EQ(failureCode(Coding::Gzip, body), Z_DATA_ERROR);
  // Not gzip at all: the magic is not checked, the data decides.
  EXPECT_EQ(failureCode(Coding::Gzip, bytesOf("abc plain text, no coding at all, and long enough")), Z_DATA_ERROR);
}

TEST(DeflateBody, DecodesZlibGzipAndRawForms) {
  const Bytes plain = sampleText(20000);
  for (int windowBits : {kZlib, kRaw, kGzip}) {
    SCOPED_TRACE(windowBits);
    EXPECT_EQ(decode(Coding::Deflate, compress(plain, windowBits)), plain);
  }
  EXPECT_EQ(decode(Coding::Deflate, compress({}, kZlib)), Bytes());
}

TEST(DeflateBody, InputIsLeftJustPastTheDeflateData) {
  const Bytes plain = sampleText(4000);
  const Bytes zlib = compress(plain, kZlib);
  TMemoryStream in(zlib);
  TMemoryStream out;
  TIdCompressorZLib().DecompressDeflateStream(in, out);
  EXPECT_EQ(in.Position(), static_cast<int64_t>(zlib.size() - 4));  // at the unread Adler-32

  Bytes raw = compress(plain, kRaw);
  const size_t rawSize = raw.size();
  raw.insert(raw.end(), {'n', 'e', 'x', 't'});
  TMemoryStream rawIn(raw);
  TMemoryStream rawOut;
  TIdCompressorZLib::InflateStream(rawIn, rawOut);
  EXPECT_EQ(rawIn.Position(), static_cast<int64_t>(rawSize));
  EXPECT_EQ(rawOut.Bytes(), plain);
}

TEST(DeflateBody, TruncationRaisesBufferErrorUntilOnlyTheTrailerIsMissing) {
  const Bytes plain = sampleText(1500);
  const Bytes zlib = compress(plain, kZlib);
  for (size_t n = 0; n < zlib.size(); ++n) {
    SCOPED_TRACE(n);
    if (n < zlib.size() - 4) {
      EXPECT_EQ(failureCode(Coding::Deflate, prefix(zlib, n)), Z_BUF_ERROR);
    } else {
      EXPECT_EQ(decode(Coding::Deflate, prefix(zlib, n)), plain);
    }
  }
}

TEST(DeflateBody, GarbageRaisesDataError) {
  EXPECT_EQ(failureCode(Coding::Deflate, Bytes(32, 0xFF)), Z_DATA_ERROR);
  EXPECT_EQ(failureCode(Coding::Deflate, bytesOf("not compressed")), Z_DATA_ERROR);
  // A good zlib header over damaged data.
  Bytes zlib = compress(sampleText(3000), kZlib);
  for (size_t i = 2; i < 12; ++i) zlib[i] = 0xFF;
  EXPECT_EQ(failureCode(Coding::Deflate, zlib), Z_DATA_ERROR);
}

// Dynamic, stored (over 64 KB) and fixed blocks, from memory whole and from other streams in pieces of every
// awkward size, so headers and blocks arrive split.
TEST(Inflation, MultiBlockBodiesWholeAndInPieces) {
  const Bytes plain = multiBlockPlain();
  GzipFields fields(0x1E);
  const Bytes gzip = multiBlockBody(kGzip, &fields.header);
  const Bytes zlib = multiBlockBody(kZlib);
  ASSERT_GT(gzip.size(), 64u * 1024);
  EXPECT_EQ(decode(Coding::Gzip, gzip), plain);
  EXPECT_EQ(decode(Coding::Deflate, gzip), plain);  // the gzip header found by header detection
  EXPECT_EQ(decode(Coding::Deflate, zlib), plain);
  EXPECT_EQ(decode(Coding::Deflate, multiBlockBody(kRaw)), plain);
  for (size_t piece : {size_t{1}, size_t{3}, size_t{7}, size_t{4096}, size_t{1} << 20}) {
    SCOPED_TRACE(piece);
    PiecewiseStream gzipIn(gzip, piece);
    EXPECT_EQ(decode(Coding::Gzip, gzipIn), plain);
    PiecewiseStream detectedIn(gzip, piece);
    EXPECT_EQ(decode(Coding::Deflate, detectedIn), plain);
    PiecewiseStream zlibIn(zlib, piece);
    EXPECT_EQ(decode(Coding::Deflate, zlibIn), plain);
    EXPECT_EQ(zlibIn.Position(), static_cast<int64_t>(zlib.size() - 4));
  }
  PiecewiseStream truncated(prefix(zlib, zlib.size() / 2), 5);
  EXPECT_THROW(decode(Coding::Deflate, truncated), EDecompressionError);
}

TEST(Inflation, OutputStreamFailurePassesThrough) {
  class FullStream : public TMemoryStream {
   public:
    void Write(const void*, size_t) override { throw EIdException(std::string_view("disk full")); }
  };
  const Bytes zlib = compress(sampleText(100000), kZlib);
  TMemoryStream in(zlib);
  FullStream out;
  try {
    TIdCompressorZLib().DecompressDeflateStream(in, out);
    FAIL() << "no exception";
  } catch (const EDecompressionError&) {
    FAIL() << "the stream's own failure was replaced";
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), u"disk full");
  }
}
