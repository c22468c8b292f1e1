#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/stream.h"
#include "common/string_list.h"
#include "net/buffer.h"
#include "net/component.h"
#include "net/text_encoding.h"

namespace tessarine::net {

enum TIdMaxLineAction : uint8_t { maException, maSplit };

// A timeout argument of -1 stands for the handler's ReadTimeout.
constexpr int IdTimeoutDefault = -1;
constexpr int IdTimeoutInfinite = -2;
constexpr int IdMaxLineLengthDefault = 16384;
constexpr int IdDefaultBufferSize = 32768;

// Buffered I/O over one connection: an input buffer filled from the transport in chunks and consumed
// by line, count and stream reads; an optional write buffer; close detection.
//
// A handler belongs to one thread at a time. The one exception is Close, which another thread may
// call to end a read or connect that the owner is blocked in.
//
// Derived transports (plain socket, TLS) implement the hooks ReceiveRaw, SendRaw, RawAvailable,
// CheckRawError, RaiseError, Readable, and may extend Open, Close, ConnectToPeer and Connected.
class TIdIOHandler : public TIdComponent {
 public:
  TIdIOHandler();
  ~TIdIOHandler() override;

  int RecvBufferSize() const { return m_recvBufferSize; }
  void SetRecvBufferSize(int size) { m_recvBufferSize = size; }
  int SendBufferSize() const { return m_sendBufferSize; }
  void SetSendBufferSize(int size) { m_sendBufferSize = size; }
  int MaxLineLength() const { return m_maxLineLength; }
  void SetMaxLineLength(int length) { m_maxLineLength = length; }
  TIdMaxLineAction MaxLineAction() const { return m_maxLineAction; }
  void SetMaxLineAction(TIdMaxLineAction action) { m_maxLineAction = action; }
  // 0 or less: no limit.
  int MaxCapturedLines() const { return m_maxCapturedLines; }
  void SetMaxCapturedLines(int lines) { m_maxCapturedLines = lines; }
  // Milliseconds; -1 and 0 both mean no limit.
  int ReadTimeout() const { return m_readTimeout; }
  void SetReadTimeout(int timeout) { m_readTimeout = timeout; }
  // Milliseconds; 0 connects without a limit of its own, -1 through the timed path without a limit.
  int ConnectTimeout() const { return m_connectTimeout; }
  void SetConnectTimeout(int timeout) { m_connectTimeout = timeout; }
  // A moment after which every waiting read ends as a time-out, however its own limit stands and however
  // steadily bytes arrive; a connect gets no more than the time left. Non-waiting checks (Connected) are not
  // affected. nullopt (the default) sets none.
  using TDeadline = std::optional<std::chrono::steady_clock::time_point>;
  const TDeadline& Deadline() const { return m_deadline; }
  void SetDeadline(TDeadline deadline) { m_deadline = deadline; }
  // Milliseconds left until the deadline (0 once it has passed), capped at limit; limit -1 means none, and
  // without a deadline limit comes back unchanged.
  int CapToDeadline(int limit) const;
  bool LargeStream() const { return m_largeStream; }
  void SetLargeStream(bool large) { m_largeStream = large; }
  const TIdTextEncoding& DefStringEncoding() const { return m_defStringEncoding; }
  // nullptr restores the process default (ASCII).
  void SetDefStringEncoding(TIdTextEncoding encoding);
  const std::u16string& Host() const { return m_host; }
  virtual void SetHost(std::u16string host) { m_host = std::move(host); }
  int Port() const { return m_port; }
  virtual void SetPort(int port) { m_port = port; }

  bool Opened() const { return m_opened.load(); }
  bool ClosedGracefully() const { return m_closedGracefully.load(); }
  bool ReadLnTimedOut() const { return m_readLnTimedOut; }
  bool ReadLnSplit() const { return m_readLnSplit; }
  TIdBuffer& InputBuffer() { return m_inputBuffer; }
  const TIdBuffer& InputBuffer() const { return m_inputBuffer; }
  bool InputBufferIsEmpty() const { return m_inputBuffer.Empty(); }

  // Transport hooks. ReceiveRaw and SendRaw return the byte count or a negative result, which goes
  // to CheckRawError: it returns the codes that end a connection quietly (10053, 10054, 10058) or
  // mean a timeout (10060) and raises every other.
  virtual ptrdiff_t ReceiveRaw(uint8_t* buffer, size_t size) = 0;
  virtual ptrdiff_t SendRaw(const uint8_t* data, size_t size) = 0;
  // The transport still has its socket.
  virtual bool RawAvailable() = 0;
  virtual int CheckRawError(ptrdiff_t result) = 0;
  [[noreturn]] virtual void RaiseError(int errorCode) = 0;
  // -1 waits without limit.
  virtual bool Readable(int msec = -1) = 0;

  virtual void AfterAccept() {}
  virtual bool Connected();
  // Closes a handler whose peer has gone; raises "Connection Closed Gracefully." when asked and
  // nothing buffered remains (or ignoreBuffer).
  virtual void CheckForDisconnect(bool raiseIfDisconnected = true, bool ignoreBuffer = false) = 0;
  virtual bool CheckForDataOnSource(int timeout = 0);
  // Safe to call from another thread than the owner's.
  virtual void Close();
  virtual void Open();
  virtual void ConnectToPeer() {}

  std::u16string ReadLn(TIdTextEncoding encoding = nullptr);
  std::u16string ReadLn(std::u16string_view terminator, int timeout = IdTimeoutDefault, int maxLineLength = -1,
                        TIdTextEncoding encoding = nullptr);
  // count > 0: exactly count bytes; count < 0: what the next receive brings after the buffered bytes.
  void ReadBytes(std::vector<uint8_t>& buffer, int64_t count, bool append = true);
  // A null stream discards. byteCount -1 without readUntilDisconnect reads a length prefix first.
  void ReadStream(TStream* stream, int64_t byteCount = -1, bool readUntilDisconnect = false);
  // Lines until one equals delimiter; a line that times out raises "Read timed out.".
  void Capture(TStringList& lines, std::u16string_view delimiter = u"", bool usesDotTransparency = false,
               TIdTextEncoding encoding = nullptr);
  int32_t ReadInt32(bool convert = true);
  int64_t ReadInt64(bool convert = true);
  void Discard(int64_t byteCount);
  // Ends quietly when the peer closes.
  void DiscardAll();

  void Write(const std::vector<uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }
  void Write(const uint8_t* data, size_t size);
  void Write(std::u16string_view text, TIdTextEncoding encoding = nullptr);
  void WriteLn(std::u16string_view text = u"", TIdTextEncoding encoding = nullptr);
  void Write(const TStringList& lines, bool writeLinesCount = false, TIdTextEncoding encoding = nullptr);
  // size 0: the whole stream from its start; size < 0: from the position to the end.
  void Write(TStream& stream, int64_t size = 0, bool writeByteCount = false);
  void WriteInt32(int32_t value, bool convert = true);
  void WriteInt64(int64_t value, bool convert = true);

  // threshold > 0 flushes whole blocks of that size as they fill; otherwise only on close.
  void WriteBufferOpen(int threshold = -1);
  // count -1 sends everything pending.
  void WriteBufferFlush(int64_t count = -1);
  void WriteBufferClose();
  void WriteBufferCancel();
  void WriteBufferClear();
  bool WriteBufferingActive() const;

 protected:
  // Bytes added, 0 when the connection ended, -1 when the time ran out.
  int64_t FillInputBuffer(bool raiseExceptionIfDisconnected = true, int timeout = IdTimeoutDefault,
                          bool raiseExceptionOnTimeout = true);
  void WriteDirect(const uint8_t* data, size_t size);
  void SetClosedGracefully() { m_closedGracefully.store(true); }

  TIdBuffer m_inputBuffer;

 private:
  int resolveTimeout(int timeout) const;
  bool deadlinePassed() const;
  void waitForBytes(size_t count);
  void consumeInput(TStream* stream, size_t count);
  size_t recvChunkSize() const;
  void flushFullBlocks();

  int m_recvBufferSize = IdDefaultBufferSize;
  int m_sendBufferSize = IdDefaultBufferSize;
  int m_maxLineLength = IdMaxLineLengthDefault;
  TIdMaxLineAction m_maxLineAction = maException;
  int m_maxCapturedLines = -1;
  int m_readTimeout = -1;
  int m_connectTimeout = 0;
  TDeadline m_deadline;
  bool m_largeStream = false;
  TIdTextEncoding m_defStringEncoding;
  std::u16string m_host;
  int m_port = 0;
  std::atomic<bool> m_opened{false};
  std::atomic<bool> m_closedGracefully{false};
  bool m_readLnTimedOut = false;
  bool m_readLnSplit = false;

  // The write buffer may be emptied by a Close from another thread.
  mutable std::mutex m_writeLock;
  std::unique_ptr<TIdBuffer> m_writeBuffer;
  int m_writeBufferThreshold = -1;
};

}  // namespace tessarine::net
