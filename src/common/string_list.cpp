#include "common/string_list.h"

#include "common/exception.h"

namespace tessarine {

const std::u16string& TStringList::Get(int index) const {
  if (index < 0 || index >= Count()) throw EStringListError::IndexOutOfBounds(index);
  return m_items[static_cast<size_t>(index)];
}

void TStringList::Put(int index, std::u16string value) {
  if (index < 0 || index >= Count()) throw EStringListError::IndexOutOfBounds(index);
  m_items[static_cast<size_t>(index)] = std::move(value);
}

int TStringList::Add(std::u16string value) {
  m_items.push_back(std::move(value));
  return Count() - 1;
}

void TStringList::Insert(int index, std::u16string value) {
  if (index < 0 || index > Count()) throw EStringListError::IndexOutOfBounds(index);
  m_items.insert(m_items.begin() + index, std::move(value));
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) throw EStringListError::IndexOutOfBounds(index);
  m_items.erase(m_items.begin() + index);
}

int TStringList::IndexOf(const std::u16string& value) const {
  for (int i = 0; i < Count(); ++i) {
    if (m_items[static_cast<size_t>(i)] == value) return i;
  }
  return -1;
}

}  // namespace tessarine
