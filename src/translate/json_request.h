#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The writer of the JSON request bodies of the engines that take them.
namespace tessarine::translate {

// Appends text as a JSON string: quotes around it, the quote, the backslash and the controls escaped, every other
// character as it is.
void AppendJsonString(std::u16string& out, std::u16string_view text);

// The bytes AppendJsonString adds for text once the body is UTF-8 (the quotes included).
size_t JsonStringBytes(std::u16string_view text);

// The body as UTF-8 bytes.
std::vector<uint8_t> Utf8Body(std::u16string_view body);

}  // namespace tessarine::translate
