#pragma once

#include <string>
#include <vector>

namespace tessarine {

// An ordered list of texts. Reading at an index outside the list raises
// EStringListError "List index out of bounds (%d)", which callers rely on as a failure answer.
class TStringList {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::u16string> items) : m_items(items) {}
  virtual ~TStringList() = default;
  TStringList(const TStringList&) = default;
  TStringList& operator=(const TStringList&) = default;
  TStringList(TStringList&&) = default;
  TStringList& operator=(TStringList&&) = default;

  int Count() const { return static_cast<int>(m_items.size()); }
  bool Empty() const { return m_items.empty(); }

  // Checked access: raises the index error.
  const std::u16string& Get(int index) const;
  const std::u16string& operator[](int index) const { return Get(index); }
  void Put(int index, std::u16string value);

  int Add(std::u16string value);
  void Insert(int index, std::u16string value);
  void Delete(int index);
  void Clear() { m_items.clear(); }

  // Case-sensitive exact search; -1 when absent.
  int IndexOf(const std::u16string& value) const;

  const std::vector<std::u16string>& Items() const { return m_items; }
  auto begin() const { return m_items.begin(); }
  auto end() const { return m_items.end(); }

  bool operator==(const TStringList& other) const { return m_items == other.m_items; }

 private:
  std::vector<std::u16string> m_items;
};

}  // namespace tessarine
