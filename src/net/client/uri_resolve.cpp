#include "net/client/uri_resolve.h"

namespace tessarine::client {

std::u16string ResolveRequestPath(std::u16string_view previousPath, std::u16string_view path) {
  if (!path.empty() && path.front() == u'/') return std::u16string(path);
  const bool keepsTrailingSlash = path.empty() || path.back() == u'/';

  std::u16string joined(previousPath);
  if (!joined.empty() && joined.back() != u'/') joined += u'/';
  joined += path;

  std::u16string result;
  for (size_t i = 0; i < joined.size(); ++i) {
    const char16_t c = joined[i];
    if (c == u'/') {
      if (result.empty() || result.back() != u'/') result += u'/';
    } else if (c == u'.' && !result.empty() && result.back() == u'/' && i + 1 < joined.size() &&
               joined[i + 1] == u'.') {
      // ".." after a "/": drop that "/" and the segment before it, so "/a/b/" becomes "/a/".
      result.pop_back();
      const size_t slash = result.rfind(u'/');
      result.erase(slash == std::u16string::npos ? 0 : slash + 1);
      ++i;
    } else {
      result += c;
    }
  }
  if (result != u"/" && !result.empty() && result.back() == u'/' && !keepsTrailingSlash) result.pop_back();
  return result;
}

}  // namespace tessarine::client
