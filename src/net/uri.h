#pragma once

#include <string>
#include <string_view>

#include "common/exception.h"
#include "net/ip_version.h"
#include "net/text_encoding.h"

namespace tessarine::net {

TESSARINE_EXCEPTION(EIdURIException, EIdException);

// A URL taken apart into its fields. Any text parses; nothing is percent-decoded by the parse itself.
class TIdURI {
 public:
  TIdURI() = default;
  explicit TIdURI(std::u16string_view uri) { SetURI(uri); }

  // Clears every field and fills them from the text.
  void SetURI(std::u16string_view uri);

  // Path + Document, then "?" and Params when there are params.
  std::u16string GetPathAndParams() const;
  // Raises EIdURIException when Protocol or Host is empty.
  std::u16string GetFullURI() const;

  // Percent-decoding into bytes, then decoding of the bytes with the encoding (UTF-8 when none is given).
  // "+" is left alone.
  static std::u16string URLDecode(std::u16string_view text, const TIdTextEncoding& encoding = nullptr);

  std::u16string Protocol;
  std::u16string Host;
  std::u16string Port;
  std::u16string Path;  // ends with "/" when not empty
  std::u16string Document;
  std::u16string Params;    // the query, without "?"
  std::u16string Bookmark;  // the fragment, without "#"
  std::u16string Username;
  std::u16string Password;
  TIdIPVersion IPVersion = Id_IPv4;
};

}  // namespace tessarine::net
