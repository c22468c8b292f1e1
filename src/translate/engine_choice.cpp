#include "translate/engine_choice.h"

#include "common/exception.h"

namespace tessarine::translate {

TEngineItems TEngineChoice::DefaultItems() {
  TEngineItems items{{{true, u"Google"},
                      {false, u"Bing"},
                      {false, u"Yandex"},
                      {false, u"Babylon"},
                      {false, u"Promt"},
                      {false, u"SYSTRAN"}}};
  return items;
}

TEngineChoice::TEngineChoice() : m_items(DefaultItems()) {}

TEngineChoice::TEngineChoice(const TEngineItems& items) : m_items(items) {}

TEngineItems TEngineChoice::Snapshot() const {
  std::lock_guard lock(m_mutex);
  return m_items;
}

void TEngineChoice::Update(const std::function<void(TEngineItems&)>& change) {
  std::lock_guard lock(m_mutex);
  // Work on a copy so that a throwing change leaves the choice as it was.
  TEngineItems items = m_items;
  change(items);
  m_items = std::move(items);
}

void TEngineChoice::SetChecked(int index) {
  if (index < 0 || index >= kEngineCount) throw Exception("Engine index out of range (" + std::to_string(index) + ")");
  std::lock_guard lock(m_mutex);
  for (int i = 0; i < kEngineCount; ++i) m_items[static_cast<size_t>(i)].Checked = i == index;
}

void TEngineChoice::SetCheckedFlags(const std::array<bool, kEngineCount>& flags) {
  std::lock_guard lock(m_mutex);
  for (size_t i = 0; i < flags.size(); ++i) m_items[i].Checked = flags[i];
}

}  // namespace tessarine::translate
