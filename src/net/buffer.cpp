#include "net/buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tessarine::net {

namespace {

// Storage kept across reads: one receive chunk and then some. Anything larger is given back once
// the bytes it held have been read.
constexpr size_t kRetainedCapacity = 64 * 1024;

}  // namespace

void TIdBuffer::reallocate(size_t capacity) {
  const size_t size = Size();
  std::unique_ptr<uint8_t[]> data;
  if (capacity > 0) {
    data.reset(new uint8_t[capacity]);
    if (size > 0) std::memcpy(data.get(), m_data.get() + m_head, size);
  }
  m_data = std::move(data);
  m_capacity = capacity;
  m_head = 0;
  m_tail = size;
}

uint8_t* TIdBuffer::PrepareWrite(size_t count) {
  if (m_capacity - m_tail >= count) return m_data.get() + m_tail;
  const size_t size = Size();
  if (count > SIZE_MAX / 2 - size) throw std::bad_alloc();
  if (m_capacity - size >= count && size <= m_head) {
    // Enough room once the unread bytes move to the front, and the move is cheap.
    std::memmove(m_data.get(), m_data.get() + m_head, size);
    m_head = 0;
    m_tail = size;
  } else {
    reallocate(std::max({size + count, m_capacity * 2, m_growthFactor}));
  }
  return m_data.get() + m_tail;
}

void TIdBuffer::Write(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  std::memcpy(PrepareWrite(count), bytes, count);
  m_tail += count;
}

void TIdBuffer::consumed(size_t count) {
  m_head += count;
  if (m_head == m_tail) {
    m_head = m_tail = 0;
    if (m_capacity > kRetainedCapacity) reallocate(0);
  } else if (m_head > m_growthFactor && m_head >= Size()) {
    // Moving only once the read part outweighs the unread part keeps the cost linear.
    const size_t size = Size();
    if (m_capacity > kRetainedCapacity && size * 4 < m_capacity) {
      reallocate(std::max(size * 2, kRetainedCapacity));
    } else {
      std::memmove(m_data.get(), m_data.get() + m_head, size);
      m_head = 0;
      m_tail = size;
    }
  }
  if (m_onBytesRemoved) m_onBytesRemoved(count);
}

void TIdBuffer::ExtractToBytes(std::vector<uint8_t>& bytes, ptrdiff_t count, bool append) {
  const size_t n = count < 0 ? Size() : std::min(static_cast<size_t>(count), Size());
  if (!append) bytes.clear();
  bytes.insert(bytes.end(), Data(), Data() + n);
  if (n > 0) consumed(n);
}

size_t TIdBuffer::ExtractToStream(TStream& stream, ptrdiff_t count) {
  const size_t n = count < 0 ? Size() : std::min(static_cast<size_t>(count), Size());
  if (n == 0) return 0;
  stream.Write(Data(), n);
  consumed(n);
  return n;
}

void TIdBuffer::Remove(size_t count) {
  if (count >= Size()) {
    const size_t removed = Size();
    Clear();
    if (removed > 0 && m_onBytesRemoved) m_onBytesRemoved(removed);
    return;
  }
  if (count > 0) consumed(count);
}

void TIdBuffer::Clear() {
  m_head = m_tail = 0;
  if (m_capacity > kRetainedCapacity) reallocate(0);
}

ptrdiff_t TIdBuffer::IndexOf(const uint8_t* pattern, size_t patternSize, size_t startIndex) const {
  const size_t size = Size();
  if (patternSize == 0 || startIndex >= size || patternSize > size - startIndex) return -1;
  const uint8_t* begin = Data();
  const uint8_t* from = begin + startIndex;
  const uint8_t* last = begin + size - patternSize;
  while (from <= last) {
    const void* hit = std::memchr(from, pattern[0], static_cast<size_t>(last - from) + 1);
    if (hit == nullptr) return -1;
    const uint8_t* candidate = static_cast<const uint8_t*>(hit);
    if (std::memcmp(candidate, pattern, patternSize) == 0) return candidate - begin;
    from = candidate + 1;
  }
  return -1;
}

}  // namespace tessarine::net
