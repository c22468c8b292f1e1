#include "common/stream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tessarine {

void TStream::SetPosition(int64_t position) { m_position = std::max<int64_t>(0, position); }

void TMemoryStream::SetSize(int64_t size) {
  m_bytes.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
  if (m_position > Size()) m_position = Size();
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
  if (m_position >= Size()) return 0;
  const size_t available = static_cast<size_t>(Size() - m_position);
  const size_t n = std::min(count, available);
  if (n > 0) std::memcpy(buffer, m_bytes.data() + m_position, n);
  m_position += static_cast<int64_t>(n);
  return n;
}

void TMemoryStream::Write(const void* buffer, size_t count) {
  if (count == 0) return;
  const size_t end = static_cast<size_t>(m_position) + count;
  if (end > m_bytes.size()) m_bytes.resize(end);
  std::memcpy(m_bytes.data() + m_position, buffer, count);
  m_position = static_cast<int64_t>(end);
}

}  // namespace tessarine
