#include "net/charset_registry.h"

#include <algorithm>

#include "common/text.h"

namespace tessarine::net {

namespace {

// Three-way comparison of a registry name with a looked-up name, both lowered (ASCII only). Registry names are
// printable ASCII, so a non-ASCII character in the looked-up name sorts above every registry character and can
// never compare equal.
int compareLowered(std::string_view entry, std::u16string_view name) {
  const size_t n = std::min(entry.size(), name.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t a = ToLowerAscii(static_cast<char16_t>(static_cast<unsigned char>(entry[i])));
    const char16_t b = ToLowerAscii(name[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  if (entry.size() == name.size()) return 0;
  return entry.size() < name.size() ? -1 : 1;
}

}  // namespace

std::optional<int> CharsetCodePage(std::u16string_view name) {
  const auto entries = CharsetRegistryEntries();
  const auto it =
      std::lower_bound(entries.begin(), entries.end(), name,
                       [](const CharsetEntry& e, std::u16string_view n) { return compareLowered(e.name, n) < 0; });
  if (it == entries.end() || compareLowered(it->name, name) != 0) return std::nullopt;
  return it->codePage;
}

}  // namespace tessarine::net
