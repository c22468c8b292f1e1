#include "translate/engine_choice.h"

#include "common/exception.h"

#include "common/text.h"

namespace tessarine::translate {

namespace {

constexpr std::u16string_view kEngineNames[kAllEngineCount] = {u"Google", u"Bing",    u"Yandex",        u"Babylon",
                                                               u"Promt",  u"SYSTRAN", u"LibreTranslate"};

}  // namespace

std::u16string_view EngineName(int index) {
  return index >= 0 && index < kAllEngineCount ? kEngineNames[index] : std::u16string_view();
}

std::optional<int> EngineIndexByName(std::u16string_view name) {
  for (int i = 0; i < kAllEngineCount; ++i) {
    if (SameTextAscii(kEngineNames[i], name)) return i;
  }
  return std::nullopt;
}

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

std::vector<TEngineItem> TEngineChoice::AllItems() const {
  std::lock_guard lock(m_mutex);
  std::vector<TEngineItem> items(m_items.begin(), m_items.end());
  if (m_libreTranslate) items.push_back(*m_libreTranslate);
  return items;
}

void TEngineChoice::AddLibreTranslate(bool checked) {
  std::lock_guard lock(m_mutex);
  m_libreTranslate = TEngineItem{checked, std::u16string(EngineName(kLibreTranslate))};
}

bool TEngineChoice::HasLibreTranslate() const {
  std::lock_guard lock(m_mutex);
  return m_libreTranslate.has_value();
}

void TEngineChoice::Update(const std::function<void(TEngineItems&)>& change) {
  std::lock_guard lock(m_mutex);
  // Work on a copy so that a throwing change leaves the choice as it was.
  TEngineItems items = m_items;
  change(items);
  m_items = std::move(items);
}

void TEngineChoice::SetChecked(int index) {
  std::lock_guard lock(m_mutex);
  const int count = m_libreTranslate ? kAllEngineCount : kEngineCount;
  if (index < 0 || index >= count) throw Exception("Engine index out of range (" + std::to_string(index) + ")");
  for (int i = 0; i < kEngineCount; ++i) m_items[static_cast<size_t>(i)].Checked = i == index;
  if (m_libreTranslate) m_libreTranslate->Checked = index == kLibreTranslate;
}

void TEngineChoice::SetCheckedFlags(const std::array<bool, kEngineCount>& flags) {
  std::lock_guard lock(m_mutex);
  for (size_t i = 0; i < flags.size(); ++i) m_items[i].Checked = flags[i];
}

}  // namespace tessarine::translate
