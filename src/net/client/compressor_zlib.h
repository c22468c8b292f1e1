#pragma once

namespace tessarine::client {

// Placeholder until the zlib decompressor lands.
class TIdCompressorZLib {};

}  // namespace tessarine::client
