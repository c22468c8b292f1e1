// Arbitrary bytes as a reply body: through both content decodings and both charset scanners. Each must end
// (decoded or EDecompressionError) without crashing, hanging or reading past the body.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/exception.h"
#include "common/stream.h"
#include "net/client/compressor_zlib.h"
#include "net/client/meta_charset.h"
#include "net/header_list.h"

namespace {

using namespace tessarine;

void decode(const uint8_t* data, size_t size, bool gzip) {
  client::TIdCompressorZLib zlib;
  TMemoryStream in(std::vector<uint8_t>(data, data + size));
  TMemoryStream out;
  try {
    if (gzip) {
      zlib.DecompressGZipStream(in, out);
    } else {
      zlib.DecompressDeflateStream(in, out);
    }
  } catch (const EIdException&) {
    // Broken data is an expected outcome.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decode(data, size, true);
  decode(data, size, false);
  net::TIdHeaderList lines;
  (void)client::ParseMetaHTTPEquiv(data, size, lines);
  (void)client::XmlCharSet(data, size);
  return 0;
}
