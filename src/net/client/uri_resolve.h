#pragma once

#include <string>
#include <string_view>

namespace tessarine::client {

// A request path resolved against the previous request's path, as redirects and the remembered URL need it:
// a path beginning with "/" is taken unchanged; any other is joined to the previous path, runs of "/" collapse
// and ".." removes one segment.
std::u16string ResolveRequestPath(std::u16string_view previousPath, std::u16string_view path);

}  // namespace tessarine::client
