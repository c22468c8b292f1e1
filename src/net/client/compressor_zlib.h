#pragma once

#include "common/exception.h"
#include "common/stream.h"

namespace tessarine::client {

// A failed inflation: "ZLib Error (%d)" with zlib's (negative) result code.
class EDecompressionError : public EIdException {
 public:
  explicit EDecompressionError(int zlibCode);
  int Code() const { return m_code; }

 private:
  int m_code;
};

// Undoes the "gzip" and "deflate" content codings of reply bodies. Holds no state between calls.
// Trailers (CRC-32, Adler-32, length) are never checked. Input that ends too early raises code -5
// (Z_BUF_ERROR), damaged data -3 (Z_DATA_ERROR).
class TIdCompressorZLib {
 public:
  bool IsReady() const { return true; }

  // A gzip member from in's position: its header is skipped by its flags and replaced in place by a zlib
  // header, the 8-byte trailer is cut off the end of `in`, and the rest goes through InflateStream.
  void DecompressGZipStream(TStream& in, TStream& out);
  // Deflate data from in's position, with a zlib header, a gzip header or none.
  void DecompressDeflateStream(TStream& in, TStream& out);
  // Consumes a zlib or gzip header if one is there, then inflates raw deflate data into `out` at its
  // position. Afterwards in's position is just past the input zlib consumed.
  static void InflateStream(TStream& in, TStream& out);
};

}  // namespace tessarine::client
