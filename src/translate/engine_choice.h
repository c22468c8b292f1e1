#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "translate/service_interfaces.h"

namespace tessarine::translate {

// The engine's caption, which is also its name in the settings: "Google" to "SYSTRAN", then the optional
// engines' names ("LibreTranslate", "Apertium"); empty for any other index.
std::u16string_view EngineName(int index);
// The index of the engine of that name (ASCII letters in any case), or nothing.
std::optional<int> EngineIndexByName(std::u16string_view name);

// The six engine items shared by the menu (main thread) and the request handlers (worker threads).
// Every change is made under one lock, so a reader sees either the whole old choice or the whole new
// one, never the moment in which no item, or two items, are checked.
class TEngineChoice final : public IEngineChoice {
 public:
  // Captions "Google" to "SYSTRAN"; G1 checked, as the menu is designed.
  TEngineChoice();
  explicit TEngineChoice(const TEngineItems& items);

  TEngineItems Snapshot() const override;
  std::vector<TEngineItem> AllItems() const override;

  // Adds the item of an optional engine (see optional_engines.h) with that check mark; once each, before the
  // server starts. Raises for an index that is no optional engine.
  void AddOptionalEngine(int index, bool checked);
  // The six always; an optional engine once added.
  bool HasEngine(int index) const;

  // Applies several changes as one step. change runs under the lock and must not call back into the choice.
  void Update(const std::function<void(TEngineItems&)>& change);
  // Checks the item at index and unchecks the others, as one step. An optional engine's item counts once added.
  void SetChecked(int index);
  // Copies all six checked flags at once (the saved settings).
  void SetCheckedFlags(const std::array<bool, kEngineCount>& flags);

  static TEngineItems DefaultItems();

 private:
  bool hasLocked(int index) const;

  mutable std::mutex m_mutex;
  TEngineItems m_items;
  // By engine index from kEngineCount; empty until added.
  std::array<std::optional<TEngineItem>, kAllEngineCount - kEngineCount> m_optional;
};

}  // namespace tessarine::translate
