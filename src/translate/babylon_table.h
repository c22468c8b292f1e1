#pragma once

#include <string>
#include <string_view>

#include "common/string_list.h"

namespace tessarine::translate {

// The Babylon engine's language numbers. Entries look like `0: "en",` and are matched as whole texts,
// quotes and comma included. Built completely by the constructor and never changed afterwards, so
// worker threads may read one instance at the same time without a lock.
class TBabylonTable {
 public:
  TBabylonTable();

  // The id of the last entry that contains code (case-sensitive), or empty. Digits match the ids too.
  std::u16string BabylonLangId(std::u16string_view code) const;

  const TStringList& Entries() const { return m_entries; }

 private:
  const TStringList m_entries;
};

}  // namespace tessarine::translate
