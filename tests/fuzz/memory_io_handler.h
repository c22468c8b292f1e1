#pragma once

// An in-memory transport for fuzz targets: the input is what the peer sent before closing; what we send is
// discarded.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/exceptions.h"
#include "net/io_handler.h"

namespace tessarine::fuzz {

class MemoryIOHandler : public net::TIdIOHandler {
 public:
  MemoryIOHandler(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  ptrdiff_t ReceiveRaw(uint8_t* buffer, size_t size) override {
    // Small pieces, so lines and bodies are split across reads as on a real socket.
    const size_t n = std::min({size, m_size - m_offset, size_t{97}});
    std::memcpy(buffer, m_data + m_offset, n);
    m_offset += n;
    return static_cast<ptrdiff_t>(n);
  }
  ptrdiff_t SendRaw(const uint8_t* /*data*/, size_t size) override { return static_cast<ptrdiff_t>(size); }
  bool RawAvailable() override { return Opened(); }
  int CheckRawError(ptrdiff_t /*result*/) override { return 10054; }
  [[noreturn]] void RaiseError(int errorCode) override { throw net::EIdSocketError(errorCode, u"memory transport"); }
  bool Readable(int /*msec*/) override { return true; }
  // As the socket handler does: a peer that has gone closes the transport, whatever is still buffered.
  void CheckForDisconnect(bool raiseIfDisconnected, bool ignoreBuffer) override {
    if (ClosedGracefully() && Opened()) Close();
    if (!Opened() && raiseIfDisconnected && (ignoreBuffer || InputBufferIsEmpty()))
      throw net::EIdConnClosedGracefully();
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_offset = 0;
};

}  // namespace tessarine::fuzz
