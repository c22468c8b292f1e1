#include "net/client/http_client.h"

#include "net/client/compressor_zlib.h"
#include "net/client/cookie_manager.h"
#include "net/exceptions.h"

namespace tessarine::client {

TIdHTTP::TIdHTTP() = default;
TIdHTTP::~TIdHTTP() = default;

void TIdHTTP::CustomHeadersAddValue(const std::u16string& name, const std::u16string& value) {
  m_request.CustomHeaders.AddValue(name, value);
}

void TIdHTTP::CustomHeadersClear() { m_request.CustomHeaders.Clear(); }

std::u16string TIdHTTP::Get(const std::u16string&) { throw EIdException("The upstream client is not built yet"); }

std::u16string TIdHTTP::Post(const std::u16string&, TStream&) {
  throw EIdException("The upstream client is not built yet");
}

void TIdHTTP::Abort() { Disconnect(false); }

}  // namespace tessarine::client
