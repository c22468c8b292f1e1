#pragma once

#include <cstdint>
#include <string>

#include "common/exception.h"
#include "net/exceptions.h"

namespace tessarine::client {

// A reply whose status the client does not accept. Message() is the status line as received.
class EIdReplyRFCError : public EIdException {
 public:
  EIdReplyRFCError(int errorCode, std::u16string message) : EIdException(std::move(message)), m_errorCode(errorCode) {}
  int ErrorCode() const noexcept { return m_errorCode; }

 private:
  int m_errorCode;
};

class EIdHTTPProtocolException : public EIdReplyRFCError {
 public:
  EIdHTTPProtocolException(int errorCode, std::u16string statusLine, std::u16string errorMessage)
      : EIdReplyRFCError(errorCode, std::move(statusLine)), m_errorMessage(std::move(errorMessage)) {}
  // The reply body as text.
  const std::u16string& ErrorMessage() const noexcept { return m_errorMessage; }

 private:
  std::u16string m_errorMessage;
};

// A reply bigger than the client takes in: the part that was too large and the limit, as in "Reply body exceeds
// 16777216 bytes.".
class EIdHTTPReplyTooLarge : public EIdException {
 public:
  enum TPart : uint8_t { rpBody, rpDecodedBody, rpHeaderBlock };
  EIdHTTPReplyTooLarge(TPart part, int64_t limit);
  TPart Part() const noexcept { return m_part; }
  int64_t Limit() const noexcept { return m_limit; }

 private:
  TPart m_part;
  int64_t m_limit;
};

TESSARINE_FIXED_EXCEPTION(EIdUnknownProtocol, EIdException, "Unknown Protocol");
TESSARINE_FIXED_EXCEPTION(EIdIOHandlerPropInvalid, EIdException, "IOHandler value is not valid");

}  // namespace tessarine::client
