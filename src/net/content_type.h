#pragma once

#include <string>
#include <string_view>

namespace tessarine::net {

struct TContentTypeParts {
  std::u16string ContentType;  // the value without its charset parameter
  std::u16string CharSet;
};

// Takes the "charset" parameter (quoted or not) out of a Content-Type value. Without one, a text media type
// gets "us-ascii" (XML subtypes) or "ISO-8859-1", any other type no charset. An empty value gives both empty.
TContentTypeParts SplitContentType(std::u16string_view value);

// The media type: the text before any ";", trimmed.
std::u16string_view MediaTypeOf(std::u16string_view contentType);

// A parameter value as it goes into a header: in double quotes when it holds a blank, a control character or
// an HTTP separator (RFC 2616 2.2).
std::u16string QuoteParameterValue(std::u16string_view value);

}  // namespace tessarine::net
