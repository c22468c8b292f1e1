#include "common/exception.h"

#include "common/text.h"

namespace tessarine {

Exception::Exception(std::u16string message) : m_message(std::move(message)), m_what(ToUtf8(m_message)) {}

Exception::Exception(std::string_view utf8Message) : m_message(FromUtf8(utf8Message)), m_what(utf8Message) {}

EStringListError EStringListError::IndexOutOfBounds(long long index) {
  return EStringListError("List index out of bounds (" + std::to_string(index) + ")");
}

}  // namespace tessarine
