#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessarine {

// A byte stream with a position, as request bodies and POST sources are handled.
class TStream {
 public:
  virtual ~TStream() = default;

  virtual int64_t Size() const = 0;
  // Changing the size keeps the position unless it would pass the new end.
  virtual void SetSize(int64_t size) = 0;
  int64_t Position() const { return m_position; }
  virtual void SetPosition(int64_t position);

  // Reads up to count bytes from the position; returns how many were read.
  virtual size_t Read(void* buffer, size_t count) = 0;
  // Writes count bytes at the position, growing the stream as needed.
  virtual void Write(const void* buffer, size_t count) = 0;

  void Write(const std::vector<uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }

 protected:
  int64_t m_position = 0;
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

  int64_t Size() const override { return static_cast<int64_t>(m_bytes.size()); }
  void SetSize(int64_t size) override;
  size_t Read(void* buffer, size_t count) override;
  void Write(const void* buffer, size_t count) override;
  using TStream::Write;

  const std::vector<uint8_t>& Bytes() const { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

}  // namespace tessarine
