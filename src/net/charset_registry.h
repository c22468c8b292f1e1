#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace tessarine::net {

// One name or alias of the IANA character-set registry with its Windows code page (0: Windows has none).
struct CharsetEntry {
  std::string_view name;
  int codePage;
};

// Every registered name, sorted by its lower-case spelling; generated into charset_table.cpp by
// tools/gen_charsets.py.
std::span<const CharsetEntry> CharsetRegistryEntries();

// The code page registered for a charset name, letter case ignored; empty when the name is not registered.
std::optional<int> CharsetCodePage(std::u16string_view name);

}  // namespace tessarine::net
