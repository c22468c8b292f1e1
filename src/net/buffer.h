#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "common/stream.h"
#include "net/socket_stack.h"

namespace tessarine::net {

// A first-in first-out byte buffer: appends at the end, reads and removals at the front.
class TIdBuffer {
 public:
  static constexpr size_t kDefaultGrowthFactor = 2048;

  TIdBuffer() = default;
  ~TIdBuffer() = default;
  TIdBuffer(const TIdBuffer&) = delete;
  TIdBuffer& operator=(const TIdBuffer&) = delete;

  // Unread bytes.
  size_t Size() const { return m_tail - m_head; }
  bool Empty() const { return m_tail == m_head; }
  // Offset of the first unread byte in the storage.
  size_t HeadIndex() const { return m_head; }
  size_t GrowthFactor() const { return m_growthFactor; }
  void SetGrowthFactor(size_t growthFactor) { m_growthFactor = growthFactor; }
  // The first unread byte; valid until the buffer next changes.
  const uint8_t* Data() const { return m_data.get() + m_head; }
  uint8_t PeekByte(size_t index) const { return m_data[m_head + index]; }

  void Write(const uint8_t* bytes, size_t count);
  void Write(const std::vector<uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }
  void Write(std::string_view bytes) { Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); }
  // Room for count bytes at the end; CommitWrite then adds the bytes actually stored there.
  uint8_t* PrepareWrite(size_t count);
  void CommitWrite(size_t count) { m_tail += count; }

  // Moves count bytes (all for -1, at most Size) from the front into bytes.
  void ExtractToBytes(std::vector<uint8_t>& bytes, ptrdiff_t count = -1, bool append = true);
  // Moves count bytes (all for -1, at most Size) from the front into stream; returns how many.
  size_t ExtractToStream(TStream& stream, ptrdiff_t count = -1);
  // Removing Size or more bytes clears the buffer.
  void Remove(size_t count);
  void Clear();

  // First occurrence of pattern at or after startIndex (counted from the first unread byte); -1 when absent.
  ptrdiff_t IndexOf(const uint8_t* pattern, size_t patternSize, size_t startIndex = 0) const;
  ptrdiff_t IndexOf(const std::vector<uint8_t>& pattern, size_t startIndex = 0) const {
    return IndexOf(pattern.data(), pattern.size(), startIndex);
  }

  // Told the count of every removal from the front.
  void SetOnBytesRemoved(std::function<void(size_t)> handler) { m_onBytesRemoved = std::move(handler); }

 private:
  void consumed(size_t count);
  void reallocate(size_t capacity);

  TIdStackUsage m_usage;
  std::unique_ptr<uint8_t[]> m_data;
  size_t m_capacity = 0;
  size_t m_head = 0;
  size_t m_tail = 0;
  size_t m_growthFactor = kDefaultGrowthFactor;
  std::function<void(size_t)> m_onBytesRemoved;
};

}  // namespace tessarine::net
