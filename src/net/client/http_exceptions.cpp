#include "net/client/http_exceptions.h"

namespace tessarine::client {

namespace {

std::string TooLargeText(EIdHTTPReplyTooLarge::TPart part, int64_t limit) {
  const char* what = part == EIdHTTPReplyTooLarge::rpBody          ? "Reply body"
                     : part == EIdHTTPReplyTooLarge::rpDecodedBody ? "Decompressed reply body"
                                                                   : "Reply header block";
  return std::string(what) + " exceeds " + std::to_string(limit) + " bytes.";
}

}  // namespace

EIdHTTPReplyTooLarge::EIdHTTPReplyTooLarge(TPart part, int64_t limit)
    : EIdException(TooLargeText(part, limit)), m_part(part), m_limit(limit) {}

}  // namespace tessarine::client
