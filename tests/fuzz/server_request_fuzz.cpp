// Arbitrary bytes as one connection's input to the HTTP server's request reader. The connection runs over an
// in-memory transport: the input is what the client sent before closing, the answer is discarded. Request
// parsing must end (answer or close) without crashing, hanging or leaking, whatever arrives.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "memory_io_handler.h"
#include "net/server/http_server.h"
#include "net/tcp_connection.h"

namespace {

using namespace tessarine;
using tessarine::fuzz::MemoryIOHandler;

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
