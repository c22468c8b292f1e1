#include "net/io_handler.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "net/exceptions.h"
#include "net/socket_stack.h"

namespace tessarine::net {

namespace {

std::vector<uint8_t> BigEndian(uint64_t value, int bytes) {
  std::vector<uint8_t> out(static_cast<size_t>(bytes));
  for (int i = bytes - 1; i >= 0; --i) {
    out[static_cast<size_t>(i)] = static_cast<uint8_t>(value & 0xFF);
    value >>= 8;
  }
  return out;
}

}  // namespace

TIdIOHandler::TIdIOHandler() : m_defStringEncoding(IndyTextEncoding_Default()) {}

TIdIOHandler::~TIdIOHandler() = default;

void TIdIOHandler::SetDefStringEncoding(TIdTextEncoding encoding) {
  m_defStringEncoding = encoding ? std::move(encoding) : IndyTextEncoding_Default();
}

int TIdIOHandler::CapToDeadline(int limit) const {
  if (!m_deadline) return limit;
  // Rounded up, so that a wait does not end just before the deadline and find it not yet passed.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*m_deadline - std::chrono::steady_clock::now());
  const int remaining = static_cast<int>(std::clamp<int64_t>(left.count(), 0, std::numeric_limits<int>::max()));
  return limit < 0 ? remaining : std::min(limit, remaining);
}

bool TIdIOHandler::deadlinePassed() const { return m_deadline && std::chrono::steady_clock::now() >= *m_deadline; }

int TIdIOHandler::resolveTimeout(int timeout) const {
  if (timeout == IdTimeoutDefault) timeout = m_readTimeout <= 0 ? -1 : m_readTimeout;
  return timeout < 0 ? -1 : timeout;
}

size_t TIdIOHandler::recvChunkSize() const { return static_cast<size_t>(std::max(m_recvBufferSize, 1)); }

int64_t TIdIOHandler::FillInputBuffer(bool raiseExceptionIfDisconnected, int timeout, bool raiseExceptionOnTimeout) {
  const int limit = resolveTimeout(timeout);
  const int wait = CapToDeadline(limit);
  while (true) {
    CheckForDisconnect(raiseExceptionIfDisconnected, false);
    if (!RawAvailable()) {
      if (raiseExceptionIfDisconnected) throw EIdNotConnected();
      return 0;
    }
    // Past the deadline even a peer that never pauses is cut off; a check that would not wait still reads.
    if ((limit != 0 && deadlinePassed()) || !Readable(wait)) {
      if (raiseExceptionOnTimeout) throw EIdReadTimeout();
      return -1;
    }
    if (!Opened()) {
      if (raiseExceptionIfDisconnected) throw EIdNotConnected();
      return 0;
    }
    if (!RawAvailable()) {
      if (raiseExceptionIfDisconnected) throw EIdClosedSocket();
      return 0;
    }
    const size_t chunk = recvChunkSize();
    const ptrdiff_t received = ReceiveRaw(m_inputBuffer.PrepareWrite(chunk), chunk);
    int64_t result = 0;
    if (received > 0) {
      m_inputBuffer.CommitWrite(static_cast<size_t>(received));
      result = received;
    } else if (received == 0) {
      SetClosedGracefully();
    } else {
      const int code = CheckRawError(received);
      if (code == Id_WSAETIMEDOUT) {
        if (raiseExceptionOnTimeout) throw EIdReadTimeout();
        return -1;
      }
      if (code != 0) {
        SetClosedGracefully();
        Close();
        if (raiseExceptionIfDisconnected && m_inputBuffer.Empty()) RaiseError(code);
      }
    }
    CheckForDisconnect(raiseExceptionIfDisconnected, false);
    if (result != 0 || !RawAvailable()) return result;
  }
}

bool TIdIOHandler::Connected() { return !m_inputBuffer.Empty() || (RawAvailable() && Opened() && !ClosedGracefully()); }

bool TIdIOHandler::CheckForDataOnSource(int timeout) {
  const size_t before = m_inputBuffer.Size();
  Connected();
  if (m_inputBuffer.Size() == before) FillInputBuffer(false, timeout, false);
  return m_inputBuffer.Size() > before;
}

void TIdIOHandler::Close() {
  m_opened.store(false);
  WriteBufferClear();
}

void TIdIOHandler::Open() {
  m_opened.store(false);
  m_closedGracefully.store(false);
  WriteBufferCancel();
  m_inputBuffer.Clear();
  m_opened.store(true);
}

std::u16string TIdIOHandler::ReadLn(TIdTextEncoding encoding) {
  return ReadLn(u"\n", IdTimeoutDefault, -1, std::move(encoding));
}

std::u16string TIdIOHandler::ReadLn(std::u16string_view terminator, int timeout, int maxLineLength,
                                    TIdTextEncoding encoding) {
  const TIdTextEncoding& lineEncoding = encoding ? encoding : m_defStringEncoding;
  if (terminator.empty()) terminator = u"\n";
  std::vector<uint8_t> terminatorBytes = lineEncoding->GetBytes(terminator);
  if (terminatorBytes.empty()) terminatorBytes.assign(1, 0x0A);
  const bool plainLF = terminator == u"\n";
  if (maxLineLength < 0) maxLineLength = m_maxLineLength;
  const size_t maxLength = maxLineLength > 0 ? static_cast<size_t>(maxLineLength) : 0;

  m_readLnSplit = false;
  m_readLnTimedOut = false;
  const auto start = std::chrono::steady_clock::now();
  size_t searchFrom = 0;
  while (true) {
    const ptrdiff_t found = m_inputBuffer.IndexOf(terminatorBytes, searchFrom);
    if (maxLength > 0) {
      const bool tooLong = found >= 0 ? static_cast<size_t>(found) > maxLength : m_inputBuffer.Size() > maxLength;
      if (tooLong) {
        if (m_maxLineAction == maException) throw EIdReadLnMaxLineLengthExceeded();
        m_readLnSplit = true;
        std::u16string line = lineEncoding->GetString(m_inputBuffer.Data(), maxLength);
        m_inputBuffer.Remove(maxLength);
        return line;
      }
    }
    if (found >= 0) {
      size_t lineLength = static_cast<size_t>(found);
      if (plainLF && lineLength > 0 && m_inputBuffer.PeekByte(lineLength - 1) == 0x0D) --lineLength;
      std::u16string line = lineEncoding->GetString(m_inputBuffer.Data(), lineLength);
      m_inputBuffer.Remove(static_cast<size_t>(found) + terminatorBytes.size());
      return line;
    }
    // Resume where this search stopped; only a terminator split across the old end needs a look back.
    const size_t size = m_inputBuffer.Size();
    searchFrom = size >= terminatorBytes.size() ? size - terminatorBytes.size() + 1 : 0;
    CheckForDisconnect(true, true);
    const int64_t filled = FillInputBuffer(true, timeout, false);
    const bool timeUp = timeout >= 0 && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(timeout);
    if (filled == -1 || timeUp) {
      m_readLnTimedOut = true;
      return {};
    }
  }
}

void TIdIOHandler::waitForBytes(size_t count) {
  while (m_inputBuffer.Size() < count) {
    FillInputBuffer(false, IdTimeoutDefault, true);
    if (m_inputBuffer.Size() < count) {
      CheckForDisconnect(true, true);
      // A socket that is up on a handler that was never opened would otherwise be polled forever.
      if (!Opened()) throw EIdNotConnected();
    }
  }
}

void TIdIOHandler::ReadBytes(std::vector<uint8_t>& buffer, int64_t count, bool append) {
  if (count > 0) {
    waitForBytes(static_cast<size_t>(count));
    m_inputBuffer.ExtractToBytes(buffer, static_cast<ptrdiff_t>(count), append);
  } else if (count < 0) {
    FillInputBuffer(false, IdTimeoutDefault, false);
    CheckForDisconnect(true, true);
    m_inputBuffer.ExtractToBytes(buffer, -1, append);
  } else if (!append) {
    buffer.clear();
  }
}

int32_t TIdIOHandler::ReadInt32(bool convert) {
  std::vector<uint8_t> bytes;
  ReadBytes(bytes, 4, false);
  uint32_t value = 0;
  if (convert) {
    for (uint8_t b : bytes) value = (value << 8) | b;
  } else {
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[static_cast<size_t>(i)];
  }
  return static_cast<int32_t>(value);
}

int64_t TIdIOHandler::ReadInt64(bool convert) {
  std::vector<uint8_t> bytes;
  ReadBytes(bytes, 8, false);
  uint64_t value = 0;
  if (convert) {
    for (uint8_t b : bytes) value = (value << 8) | b;
  } else {
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[static_cast<size_t>(i)];
  }
  return static_cast<int64_t>(value);
}

void TIdIOHandler::consumeInput(TStream* stream, size_t count) {
  if (stream != nullptr) {
    m_inputBuffer.ExtractToStream(*stream, static_cast<ptrdiff_t>(count));
  } else {
    m_inputBuffer.Remove(count);
  }
}

void TIdIOHandler::ReadStream(TStream* stream, int64_t byteCount, bool readUntilDisconnect) {
  if (byteCount == -1 && !readUntilDisconnect) byteCount = m_largeStream ? ReadInt64() : ReadInt32();
  if (byteCount < 0) readUntilDisconnect = true;
  const size_t chunk = recvChunkSize();

  if (readUntilDisconnect) {
    consumeInput(stream, m_inputBuffer.Size());
    while (true) {
      try {
        waitForBytes(chunk);
      } catch (const EIdConnClosedGracefully&) {
        consumeInput(stream, std::min(chunk, m_inputBuffer.Size()));
        return;
      } catch (const EIdSocketError& e) {
        consumeInput(stream, std::min(chunk, m_inputBuffer.Size()));
        if (IsConnectionEnd(e.LastError())) return;
        throw;
      } catch (...) {
        consumeInput(stream, std::min(chunk, m_inputBuffer.Size()));
        throw;
      }
      consumeInput(stream, chunk);
    }
  }

  // The stream grows only as bytes arrive: a peer announcing a huge length must not make us
  // allocate it up front.
  if (stream != nullptr && byteCount > std::numeric_limits<int64_t>::max() - stream->Position())
    throw EIdIOHandlerStreamDataTooLarge();
  uint64_t remaining = static_cast<uint64_t>(byteCount);
  const size_t buffered = static_cast<size_t>(std::min<uint64_t>(remaining, m_inputBuffer.Size()));
  consumeInput(stream, buffered);
  remaining -= buffered;
  while (remaining > 0) {
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(remaining, chunk));
    try {
      waitForBytes(wanted);
    } catch (...) {
      consumeInput(stream, std::min(wanted, m_inputBuffer.Size()));
      throw;
    }
    consumeInput(stream, wanted);
    remaining -= wanted;
  }
}

void TIdIOHandler::Discard(int64_t byteCount) {
  if (byteCount > 0) ReadStream(nullptr, byteCount, false);
}

void TIdIOHandler::DiscardAll() { ReadStream(nullptr, -1, true); }

void TIdIOHandler::Capture(TStringList& lines, std::u16string_view delimiter, bool usesDotTransparency,
                           TIdTextEncoding encoding) {
  int stored = 0;
  while (true) {
    std::u16string line = ReadLn(u"\n", IdTimeoutDefault, m_maxLineLength, encoding);
    // A line that did not come in time is no line, least of all the delimiter that ends the capture.
    if (m_readLnTimedOut) throw EIdReadTimeout();
    if (line == delimiter) return;
    if (usesDotTransparency && line.size() >= 2 && line[0] == u'.' && line[1] == u'.') line.erase(0, 1);
    if (m_maxCapturedLines > 0 && stored > m_maxCapturedLines) throw EIdMaxCaptureLineExceeded();
    lines.Add(std::move(line));
    ++stored;
  }
}

void TIdIOHandler::WriteDirect(const uint8_t* data, size_t size) {
  CheckForDisconnect(true, true);
  size_t offset = 0;
  while (offset < size) {
    const ptrdiff_t sent = SendRaw(data + offset, size - offset);
    if (sent < 0) {
      const int code = CheckRawError(sent);
      if (code != Id_WSAETIMEDOUT) {
        SetClosedGracefully();
        Close();
      }
      RaiseError(code);
    }
    if (sent == 0) SetClosedGracefully();
    CheckForDisconnect(true, false);
    offset += static_cast<size_t>(sent);
  }
}

void TIdIOHandler::flushFullBlocks() {
  std::vector<uint8_t> block;
  while (true) {
    {
      std::lock_guard lock(m_writeLock);
      if (!m_writeBuffer || m_writeBufferThreshold <= 0 ||
          m_writeBuffer->Size() < static_cast<size_t>(m_writeBufferThreshold))
        return;
      m_writeBuffer->ExtractToBytes(block, m_writeBufferThreshold, false);
    }
    // Sent outside the lock: a Close from another thread must never wait for a stalled send.
    WriteDirect(block.data(), block.size());
  }
}

void TIdIOHandler::Write(const uint8_t* data, size_t size) {
  if (size == 0) return;
  bool buffered;
  {
    std::lock_guard lock(m_writeLock);
    buffered = m_writeBuffer != nullptr;
    if (buffered) m_writeBuffer->Write(data, size);
  }
  if (buffered) {
    flushFullBlocks();
  } else {
    WriteDirect(data, size);
  }
}

void TIdIOHandler::Write(std::u16string_view text, TIdTextEncoding encoding) {
  if (text.empty()) return;
  const TIdTextEncoding& textEncoding = encoding ? encoding : m_defStringEncoding;
  Write(textEncoding->GetBytes(text));
}

void TIdIOHandler::WriteLn(std::u16string_view text, TIdTextEncoding encoding) {
  std::u16string line;
  line.reserve(text.size() + 2);
  line.append(text);
  line.append(u"\r\n");
  Write(line, std::move(encoding));
}

void TIdIOHandler::Write(const TStringList& lines, bool writeLinesCount, TIdTextEncoding encoding) {
  const bool ownBuffer = !WriteBufferingActive();
  if (ownBuffer) WriteBufferOpen();
  try {
    if (writeLinesCount) WriteInt32(lines.Count());
    for (const std::u16string& line : lines) WriteLn(line, encoding);
    if (ownBuffer) WriteBufferClose();
  } catch (...) {
    if (ownBuffer) WriteBufferCancel();
    throw;
  }
}

void TIdIOHandler::Write(TStream& stream, int64_t size, bool writeByteCount) {
  int64_t count;
  if (size < 0) {
    count = stream.Size() - stream.Position();
  } else if (size == 0) {
    stream.SetPosition(0);
    count = stream.Size();
  } else {
    count = size;
  }
  if (writeByteCount) {
    if (m_largeStream) {
      WriteInt64(count);
    } else {
      WriteInt32(static_cast<int32_t>(count));
    }
  }
  const size_t chunk = static_cast<size_t>(std::max(m_sendBufferSize, 1));
  std::vector<uint8_t> bytes;
  while (count > 0) {
    bytes.resize(static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(chunk))));
    const size_t read = stream.Read(bytes.data(), bytes.size());
    if (read == 0) throw EIdNoDataToRead();
    Write(bytes.data(), read);
    count -= static_cast<int64_t>(read);
  }
}

void TIdIOHandler::WriteInt32(int32_t value, bool convert) {
  std::vector<uint8_t> bytes = BigEndian(static_cast<uint32_t>(value), 4);
  if (!convert) std::reverse(bytes.begin(), bytes.end());
  Write(bytes);
}

void TIdIOHandler::WriteInt64(int64_t value, bool convert) {
  std::vector<uint8_t> bytes = BigEndian(static_cast<uint64_t>(value), 8);
  if (!convert) std::reverse(bytes.begin(), bytes.end());
  Write(bytes);
}

void TIdIOHandler::WriteBufferOpen(int threshold) {
  std::lock_guard lock(m_writeLock);
  if (m_writeBuffer) {
    m_writeBuffer->Clear();
  } else {
    m_writeBuffer = std::make_unique<TIdBuffer>();
  }
  m_writeBufferThreshold = threshold;
}

void TIdIOHandler::WriteBufferFlush(int64_t count) {
  std::vector<uint8_t> pending;
  {
    std::lock_guard lock(m_writeLock);
    if (!m_writeBuffer) return;
    m_writeBuffer->ExtractToBytes(pending, count < 0 ? -1 : static_cast<ptrdiff_t>(count), false);
  }
  if (!pending.empty()) WriteDirect(pending.data(), pending.size());
}

void TIdIOHandler::WriteBufferClose() {
  try {
    WriteBufferFlush(-1);
  } catch (...) {
    WriteBufferCancel();
    throw;
  }
  WriteBufferCancel();
}

void TIdIOHandler::WriteBufferCancel() {
  std::unique_ptr<TIdBuffer> dropped;
  std::lock_guard lock(m_writeLock);
  dropped = std::move(m_writeBuffer);
}

void TIdIOHandler::WriteBufferClear() {
  std::lock_guard lock(m_writeLock);
  if (m_writeBuffer) m_writeBuffer->Clear();
}

bool TIdIOHandler::WriteBufferingActive() const {
  std::lock_guard lock(m_writeLock);
  return m_writeBuffer != nullptr;
}

}  // namespace tessarine::net
