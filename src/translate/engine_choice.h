#pragma once

#include <functional>
#include <mutex>

#include "translate/service_interfaces.h"

namespace tessarine::translate {

// The six engine items shared by the menu (main thread) and the request handlers (worker threads).
// Every change is made under one lock, so a reader sees either the whole old choice or the whole new
// one, never the moment in which no item, or two items, are checked.
class TEngineChoice final : public IEngineChoice {
 public:
  // Captions "Google" to "SYSTRAN"; G1 checked, as the menu is designed.
  TEngineChoice();
  explicit TEngineChoice(const TEngineItems& items);

  TEngineItems Snapshot() const override;

  // Applies several changes as one step. change runs under the lock and must not call back into the choice.
  void Update(const std::function<void(TEngineItems&)>& change);
  // Checks the item at index and unchecks the others, as one step.
  void SetChecked(int index);
  // Copies all six checked flags at once (the saved settings).
  void SetCheckedFlags(const std::array<bool, kEngineCount>& flags);

  static TEngineItems DefaultItems();

 private:
  mutable std::mutex m_mutex;
  TEngineItems m_items;
};

}  // namespace tessarine::translate
