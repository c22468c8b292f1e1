#include "translate/engine_choice.h"

#include "common/exception.h"
#include "common/text.h"
#include "translate/optional_engines.h"

namespace tessarine::translate {

namespace {

constexpr std::u16string_view kEngineNames[kEngineCount] = {u"Google",  u"Bing",  u"Yandex",
                                                            u"Babylon", u"Promt", u"SYSTRAN"};

[[noreturn]] void OutOfRange(int index) {
  throw Exception("Engine index out of range (" + std::to_string(index) + ")");
}

}  // namespace

std::u16string_view EngineName(int index) {
  if (index >= 0 && index < kEngineCount) return kEngineNames[index];
  const TOptionalEngine* engine = FindOptionalEngine(index);
  return engine ? engine->Name : std::u16string_view();
}

std::optional<int> EngineIndexByName(std::u16string_view name) {
  for (int i = 0; i < kAllEngineCount; ++i) {
    if (!EngineName(i).empty() && SameTextAscii(EngineName(i), name)) return i;
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
  size_t end = m_optional.size();
  while (end > 0 && !m_optional[end - 1]) --end;
  for (size_t i = 0; i < end; ++i) items.push_back(m_optional[i].value_or(TEngineItem{}));
  return items;
}

void TEngineChoice::AddOptionalEngine(int index, bool checked) {
  if (!FindOptionalEngine(index)) OutOfRange(index);
  std::lock_guard lock(m_mutex);
  m_optional[static_cast<size_t>(index - kEngineCount)] = TEngineItem{checked, std::u16string(EngineName(index))};
}

bool TEngineChoice::HasEngine(int index) const {
  std::lock_guard lock(m_mutex);
  return hasLocked(index);
}

bool TEngineChoice::hasLocked(int index) const {
  if (index >= 0 && index < kEngineCount) return true;
  return index >= kEngineCount && index < kAllEngineCount && m_optional[static_cast<size_t>(index - kEngineCount)];
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
  if (!hasLocked(index)) OutOfRange(index);
  for (int i = 0; i < kEngineCount; ++i) m_items[static_cast<size_t>(i)].Checked = i == index;
  for (size_t i = 0; i < m_optional.size(); ++i) {
    if (m_optional[i]) m_optional[i]->Checked = static_cast<int>(i) + kEngineCount == index;
  }
}

void TEngineChoice::SetCheckedFlags(const std::array<bool, kEngineCount>& flags) {
  std::lock_guard lock(m_mutex);
  for (size_t i = 0; i < flags.size(); ++i) m_items[i].Checked = flags[i];
}

}  // namespace tessarine::translate
