#include "net/client/compressor_zlib.h"

#include "common/text.h"

namespace tessarine::client {

EDecompressionError::EDecompressionError(int zlibCode)
    : EIdException(u"ZLib Error (" + IntToStr(zlibCode) + u")"), m_code(zlibCode) {}

void TIdCompressorZLib::DecompressGZipStream(TStream& in, TStream& out) { InflateStream(in, out); }
void TIdCompressorZLib::DecompressDeflateStream(TStream& in, TStream& out) { InflateStream(in, out); }
void TIdCompressorZLib::InflateStream(TStream&, TStream&) { throw EDecompressionError(-3); }

}  // namespace tessarine::client
