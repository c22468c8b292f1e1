#pragma once

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

TESSARINE_FIXED_EXCEPTION(EIdUnknownProtocol, EIdException, "Unknown Protocol");
TESSARINE_FIXED_EXCEPTION(EIdIOHandlerPropInvalid, EIdException, "IOHandler value is not valid");

}  // namespace tessarine::client
