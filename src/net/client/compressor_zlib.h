#pragma once

#include "common/exception.h"
#include "common/stream.h"

namespace tessarine::client {

// Placeholder until the zlib decompressor lands.
class EDecompressionError : public EIdException {
 public:
  explicit EDecompressionError(int zlibCode);
  int Code() const { return m_code; }

 private:
  int m_code;
};

class TIdCompressorZLib {
 public:
  bool IsReady() const { return true; }
  void DecompressGZipStream(TStream& in, TStream& out);
  void DecompressDeflateStream(TStream& in, TStream& out);
  static void InflateStream(TStream& in, TStream& out);
};

}  // namespace tessarine::client
