#include "net/header_list.h"

#include "common/text.h"

namespace tessarine::net {

namespace {

bool nameMatches(const std::u16string& line, std::u16string_view name) {
  if (name.empty()) return false;
  const size_t colon = line.find(u':');
  return colon != std::u16string::npos && SameTextAscii(std::u16string_view(line).substr(0, colon), name);
}

std::u16string makeLine(std::u16string_view name, std::u16string_view value) {
  std::u16string line;
  line.reserve(name.size() + TIdHeaderList::NameValueSeparator.size() + value.size());
  line.append(name).append(TIdHeaderList::NameValueSeparator).append(value);
  return line;
}

}  // namespace

void TIdHeaderList::AddValue(std::u16string_view name, std::u16string_view value) {
  if (name.empty() || value.empty()) return;
  Add(makeLine(name, value));
}

void TIdHeaderList::SetValue(std::u16string_view name, std::u16string_view value) {
  const int index = IndexOfName(name);
  if (value.empty()) {
    if (index < 0) return;
    for (int end = endOfLine(index); end > index; --end) Delete(index);
    return;
  }
  if (name.empty()) return;
  if (index < 0) {
    Add(makeLine(name, value));
    return;
  }
  // The old value's continuation lines would otherwise be read as part of the new value.
  for (int end = endOfLine(index); end > index + 1; --end) Delete(index + 1);
  Put(index, makeLine(name, value));
}

std::u16string TIdHeaderList::Values(std::u16string_view name) const {
  const int index = IndexOfName(name);
  return index < 0 ? std::u16string() : ValueFromIndex(index);
}

void TIdHeaderList::Extract(std::u16string_view name, TStringList& dest) const {
  for (int i = 0; i < Count(); ++i) {
    if (nameMatches(Get(i), name)) dest.Add(ValueFromIndex(i));
  }
}

int TIdHeaderList::IndexOfName(std::u16string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    if (nameMatches(Get(i), name)) return i;
  }
  return -1;
}

std::u16string_view TIdHeaderList::Names(int index) const {
  const std::u16string& line = Get(index);
  const size_t colon = line.find(u':');
  if (colon == std::u16string::npos) return {};
  return std::u16string_view(line).substr(0, colon);
}

std::u16string TIdHeaderList::ValueFromIndex(int index) const {
  const std::u16string& line = Get(index);
  const size_t colon = line.find(u':');
  std::u16string value;
  if (colon != std::u16string::npos) value = TrimLeft(std::u16string_view(line).substr(colon + 1));
  // RFC 7230 3.2.4: a fold and the blanks after it become one space.
  const int end = endOfLine(index);
  for (int i = index + 1; i < end; ++i) {
    value += u' ';
    value += TrimLeft(Get(i));
  }
  return std::u16string(Trim(value));
}

bool TIdHeaderList::IsContinuation(int index) const {
  const std::u16string& line = Get(index);
  return !line.empty() && (line[0] == u' ' || line[0] == u'\t');
}

int TIdHeaderList::endOfLine(int index) const {
  int end = index + 1;
  while (end < Count() && IsContinuation(end)) ++end;
  return end;
}

}  // namespace tessarine::net
