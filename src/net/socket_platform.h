#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/socket_stack.h"

namespace tessarine::net {

// What the shared stack code takes from the platform's stack (socket_stack_posix.cpp, socket_stack_winsock.cpp).

// The stack IncUsage creates unless another class was set.
std::unique_ptr<TIdStack> CreateDefaultStack();
// The system's reading of an IPv6 literal into its 16 bytes in network order; false when it is none.
bool ParseIPv6Address(const std::string& ascii, uint8_t (&bytes)[16]);

}  // namespace tessarine::net
