// Arbitrary bytes as everything an engine sends back on one connection: the upstream client's reply reader
// (status line, header lines, every body framing, content decoding, charset rules, redirects followed on the
// same input, cookies) must end with a text or an exception, never crash, hang or leak.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "memory_io_handler.h"
#include "net/client/http_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarine;
  client::TIdHTTP client;
  client.SetIOHandler(std::make_unique<fuzz::MemoryIOHandler>(data, size));
  try {
    client.Get(u"http://engine.invalid/translate_a/t?q=x");
  } catch (const Exception&) {
    // A reply the client refuses is an expected outcome.
  }
  return 0;
}
