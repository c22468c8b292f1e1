#pragma once

#include "net/exceptions.h"

namespace tessarine::client {

// Failures of the TLS channel. Messages that carry OpenSSL's detail put it on a second line
// ("Error connecting with SSL." CR LF detail); reads and writes carry the detail alone.
TESSARINE_EXCEPTION(EIdOpenSSLError, EIdException);
TESSARINE_FIXED_EXCEPTION(EIdOSSLCouldNotLoadSSLLibrary, EIdOpenSSLError, "Could not load SSL library.");
TESSARINE_FIXED_EXCEPTION(EIdOSSLGetMethodError, EIdOpenSSLError, "Error getting SSL method.");
TESSARINE_FIXED_EXCEPTION(EIdOSSLSettingCipherError, EIdOpenSSLError, "SetCipher failed.");
TESSARINE_FIXED_EXCEPTION(EIdOSSLDataBindingError, EIdOpenSSLError, "Error binding data to SSL socket.");
TESSARINE_FIXED_EXCEPTION(EIdOSSLFDSetError, EIdOpenSSLError, "Error setting File Descriptor for SSL");

// A session call (handshake, read, write) that failed.
TESSARINE_EXCEPTION(EIdOpenSSLAPISSLError, EIdOpenSSLError);
TESSARINE_FIXED_EXCEPTION(EIdOSSLConnectError, EIdOpenSSLAPISSLError, "Error connecting with SSL.");
TESSARINE_FIXED_EXCEPTION(EIdOSSLCreatingSessionError, EIdOpenSSLAPISSLError, "Error creating SSL session.");

// OpenSSL reported an error of its own (its error queue held one).
TESSARINE_EXCEPTION(EIdOpenSSLAPICryptoError, EIdOpenSSLError);
TESSARINE_FIXED_EXCEPTION(EIdOSSLCreatingContextError, EIdOpenSSLAPICryptoError, "Error creating SSL context.");
TESSARINE_EXCEPTION(EIdOSSLUnderlyingCryptoError, EIdOpenSSLAPICryptoError);

}  // namespace tessarine::client
