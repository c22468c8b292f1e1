#pragma once

#include "net/exceptions.h"

namespace tessarine::server {

using tessarine::EIdException;
using tessarine::EIdSilentException;

TESSARINE_EXCEPTION(EIdHTTPServerError, EIdException);
TESSARINE_FIXED_EXCEPTION(EIdHTTPHeaderAlreadyWritten, EIdHTTPServerError, "Header has already been written.");
TESSARINE_FIXED_EXCEPTION(EIdHTTPErrorParsingCommand, EIdHTTPServerError, "Error in parsing command.");
TESSARINE_FIXED_EXCEPTION(EIdHTTPUnsupportedAuthorisationScheme, EIdHTTPServerError,
                          "Unsupported authorization scheme.");
TESSARINE_FIXED_EXCEPTION(EIdHTTPCannotSwitchSessionStateWhenActive, EIdHTTPServerError,
                          "Cannot change session state when the server is active.");
TESSARINE_FIXED_EXCEPTION(EIdHTTPCannotSwitchSessionIDCookieNameWhenActive, EIdHTTPServerError,
                          "Cannot change session ID cookie name when the server is active.");

TESSARINE_EXCEPTION(EIdSchedulerException, EIdException);
TESSARINE_FIXED_EXCEPTION(EIdSchedulerMaxThreadsExceeded, EIdSchedulerException,
                          "The maximum number of threads for this scheduler is exceeded.");

}  // namespace tessarine::server
