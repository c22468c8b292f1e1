#pragma once

#include <string>
#include <string_view>

#include "common/exception.h"

namespace tessarine::net {

using tessarine::EIdException;
using tessarine::EIdSilentException;
using tessarine::EIdSocketError;

// A failure class whose message never varies: the default constructor carries it.
#define TESSARINE_FIXED_EXCEPTION(Name, Base, Text) \
  class Name : public Base {                        \
   public:                                          \
    using Base::Base;                               \
    Name() : Base(std::string_view(Text)) {}        \
  }

// Code 10038.
class EIdNotASocket : public EIdSocketError {
 public:
  using EIdSocketError::EIdSocketError;
};

TESSARINE_EXCEPTION(EIdSocketHandleError, EIdException);
TESSARINE_FIXED_EXCEPTION(EIdCouldNotBindSocket, EIdSocketHandleError,
                          "Could not bind socket. Address and port are already in use.");
TESSARINE_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError);
TESSARINE_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError);
TESSARINE_FIXED_EXCEPTION(EIdCannotSetIPVersionWhenConnected, EIdSocketHandleError,
                          "Cannot change IPVersion when connected");

TESSARINE_EXCEPTION(EIdStackError, EIdException);
TESSARINE_FIXED_EXCEPTION(EIdIPVersionUnsupported, EIdStackError,
                          "The requested IPVersion / Address family is not supported.");
TESSARINE_EXCEPTION(EIdStackInitializationFailed, EIdStackError);
TESSARINE_FIXED_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError, "Set Size Exceeded.");
TESSARINE_EXCEPTION(EIdWinsockStubError, EIdException);

TESSARINE_FIXED_EXCEPTION(EIdConnClosedGracefully, EIdSilentException, "Connection Closed Gracefully.");

TESSARINE_FIXED_EXCEPTION(EIdNotConnected, EIdException, "Not Connected");
TESSARINE_FIXED_EXCEPTION(EIdClosedSocket, EIdException, "Disconnected.");
TESSARINE_FIXED_EXCEPTION(EIdReadTimeout, EIdException, "Read timed out.");
TESSARINE_FIXED_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException, "Max line length exceeded.");
TESSARINE_FIXED_EXCEPTION(EIdMaxCaptureLineExceeded, EIdException, "Maximum number of line allowed exceeded");
TESSARINE_EXCEPTION(EIdIOHandler, EIdException);
TESSARINE_FIXED_EXCEPTION(EIdIOHandlerStreamDataTooLarge, EIdIOHandler, "Data is too large for stream");
TESSARINE_EXCEPTION(EIdTCPConnectionError, EIdException);
TESSARINE_FIXED_EXCEPTION(EIdNoDataToRead, EIdTCPConnectionError, "No data to read.");
TESSARINE_FIXED_EXCEPTION(EIdConnectTimeout, EIdException, "Connect timed out.");
TESSARINE_EXCEPTION(EIdConnectException, EIdException);

}  // namespace tessarine::net
