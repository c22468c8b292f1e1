// Arbitrary bytes as one connection's input to the HTTP server's request reader. The connection runs over an
// in-memory transport: the input is what the client sent before closing, the answer is discarded. Request
// parsing must end (answer or close) without crashing, hanging or leaking, whatever arrives.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "net/exceptions.h"
#include "net/io_handler.h"
#include "net/server/http_server.h"
#include "net/tcp_connection.h"

namespace {

using namespace tessarine;

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

class FuzzServer : public server::TIdHTTPServer {
 public:
  FuzzServer() {
    OnCommandGet = [](server::TIdContext&, server::TIdHTTPRequestInfo& request, server::TIdHTTPResponseInfo& response) {
      // Touch what a handler reads, as the translation endpoint does.
      std::u16string text = request.Document();
      for (const std::u16string& param : request.Params()) text += param;
      if (request.Params().Count() < 2) (void)request.Params()[1];  // raises: the 500 path
      response.SetContentText(text);
      response.WriteContent();
    };
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzServer server;
  auto handler = std::make_unique<MemoryIOHandler>(data, size);
  handler->Open();
  auto connection = std::make_unique<net::TIdTCPConnection>();
  connection->SetIOHandler(std::move(handler));
  server::TIdServerContext context(std::move(connection), nullptr, nullptr, &server);
  try {
    server.ServeConnection(context);
  } catch (const std::exception&) {
    // Parsing failures end the connection without an answer; that is a valid outcome here.
  }
  return 0;
}
