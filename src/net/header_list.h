#pragma once

#include <string>
#include <string_view>

#include "common/string_list.h"

namespace tessarine::net {

// Raw header lines "name: value" in arrival order, duplicates kept. The name of a line is its text before the
// first ":", untrimmed, so "Host : x" is not a Host line; a line without ":" has no name and never matches.
// Names compare without regard to ASCII letter case. A line that begins with a space or a tab continues the
// line above it. Lines are written as they are: never folded.
class TIdHeaderList : public TStringList {
 public:
  static constexpr std::u16string_view NameValueSeparator = u": ";

  // Appends "name: value"; nothing when either is empty.
  void AddValue(std::u16string_view name, std::u16string_view value);
  // A non-empty value replaces the first line of the name in place (or appends one); an empty value deletes
  // the first line of the name. Continuation lines of a replaced or deleted line go with it.
  void SetValue(std::u16string_view name, std::u16string_view value);
  // The value of the first line of the name with its continuation lines joined by one space, trimmed;
  // empty when there is no such line.
  std::u16string Values(std::u16string_view name) const;
  // The values of every line of the name, in order (Set-Cookie, WWW-Authenticate).
  void Extract(std::u16string_view name, TStringList& dest) const;

  // Index of the first line of the name; -1 when there is none.
  int IndexOfName(std::u16string_view name) const;
  // The name of a line: the text before its first ":" (empty without one).
  std::u16string_view Names(int index) const;
  // The value of a line as Values gives it: continuation lines joined, trimmed.
  std::u16string ValueFromIndex(int index) const;
  // Whether a line continues the one above it.
  bool IsContinuation(int index) const;

 private:
  // One past the last continuation line of the line at index.
  int endOfLine(int index) const;
};

}  // namespace tessarine::net
