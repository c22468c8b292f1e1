#include "net/client/limited_stream.h"

#include <limits>

namespace tessarine::client {

TLimitedStream::TLimitedStream(TStream* target, int64_t limit, EIdHTTPReplyTooLarge::TPart part)
    : m_target(target), m_limit(limit > 0 ? limit : std::numeric_limits<int64_t>::max()), m_part(part) {}

void TLimitedStream::Charge(int64_t count) {
  if (count > Remaining()) RaiseTooLarge();
  m_count += count;
  m_position = m_count;
}

void TLimitedStream::Write(const void* buffer, size_t count) {
  Charge(static_cast<int64_t>(count));
  if (m_target != nullptr) m_target->Write(buffer, count);
}

void TLimitedStream::RaiseTooLarge() const { throw EIdHTTPReplyTooLarge(m_part, m_limit); }

}  // namespace tessarine::client
