#pragma once

#include <cstdint>

#include "common/stream.h"
#include "net/client/http_exceptions.h"

namespace tessarine::client {

// A write-only stream that passes bytes on to another stream (or drops them) and counts them: the write that
// would take the count past the limit raises EIdHTTPReplyTooLarge for its part instead, before anything of it
// is stored, so no buffer behind it grows beyond the limit.
class TLimitedStream : public TStream {
 public:
  // target nullptr drops the bytes; a limit of 0 or less means none.
  TLimitedStream(TStream* target, int64_t limit, EIdHTTPReplyTooLarge::TPart part);

  int64_t Size() const override { return m_count; }
  void SetSize(int64_t) override {}
  size_t Read(void*, size_t) override { return 0; }
  void Write(const void* buffer, size_t count) override;
  using TStream::Write;

  // Counts bytes that belong to the part but are not stored (framing, lines read elsewhere).
  void Charge(int64_t count);
  // Bytes still allowed.
  int64_t Remaining() const { return m_limit - m_count; }
  [[noreturn]] void RaiseTooLarge() const;

 private:
  TStream* m_target;
  int64_t m_limit;
  EIdHTTPReplyTooLarge::TPart m_part;
  int64_t m_count = 0;
};

}  // namespace tessarine::client
