#pragma once

#include <string_view>

namespace tessarine::server {

// Names the calling thread for debuggers and `top -H`; an empty name gives "IdThread (unknown)". The system
// keeps only the first 15 bytes.
void SetCurrentThreadName(std::u16string_view name) noexcept;

}  // namespace tessarine::server
