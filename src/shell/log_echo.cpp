#include "shell/log_echo.h"

#include <utility>

#include "common/text.h"

namespace tessarine::shell {

namespace {

// How long the first line of a batch may wait for more before the batch is written.
constexpr auto kGather = std::chrono::milliseconds(10);

size_t WithBreak(const std::u16string& line) { return line.size() + 1; }

// Besides the C0 and C1 controls: characters that break a line or reorder what follows them on it (the
// "Trojan source" set), which would let one entry pass for another.
bool IsLayoutControl(char16_t c) {
  return c == u'\u061C' || c == u'\u200E' || c == u'\u200F' || c == u'\u2028' || c == u'\u2029' ||
         (c >= u'\u202A' && c <= u'\u202E') || (c >= u'\u2066' && c <= u'\u2069');
}

void AppendHex(std::string& out, unsigned value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

bool NeedsEscape(char16_t c) {
  if (c >= 0x20 && c < 0x7F) return c == u'\\';
  if (c < 0x20) return c != u'\t';
  return c <= 0x9F || (c >= u'\u061C' && IsLayoutControl(c));
}

}  // namespace

std::string EchoText(std::u16string_view line) {
  std::string out;
  size_t plain = 0;  // start of the run of characters taken as they are
  for (size_t i = 0; i < line.size(); ++i) {
    const char16_t c = line[i];
    if (!NeedsEscape(c)) continue;
    // Every escaped character is a whole code point below the surrogates, so a run never splits a pair.
    out += ToUtf8(line.substr(plain, i - plain));
    plain = i + 1;
    if (c == u'\\') {
      out += "\\\\";
    } else if (c == u'\n') {
      out += "\\n";
    } else if (c == u'\r') {
      out += "\\r";
    } else if (c < 0x80) {
      out += "\\x";
      AppendHex(out, c, 2);
    } else {
      out += "\\u";
      AppendHex(out, c, 4);
    }
  }
  // The usual line has nothing to escape: one conversion, no copy.
  if (plain == 0) return ToUtf8(line);
  out += ToUtf8(line.substr(plain));
  return out;
}

TLogEcho::TLogEcho(int fd) : TLogEcho(fd, TLimits{}) {}

TLogEcho::TLogEcho(int fd, TLimits limits) : m_fd(fd), m_limits(limits) {
  m_thread = std::thread([this] { run(); });
}

TLogEcho::~TLogEcho() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_stopDeadline = std::chrono::steady_clock::now() + m_limits.StopWait;
  }
  m_wake.notify_one();
  m_thread.join();
}

void TLogEcho::Add(const std::u16string& line) {
  std::u16string copy = line;  // allocated before the lock is taken, and freed after it when dropped
  bool wake = false;
  {
    std::lock_guard lock(m_mutex);
    if (m_queue.size() >= m_limits.MaxLines || m_queuedCharacters + WithBreak(copy) > m_limits.MaxCharacters) {
      ++m_dropped;
      return;
    }
    wake = m_queue.empty();
    m_queuedCharacters += WithBreak(copy);
    m_queue.push_back(std::move(copy));
  }
  if (wake) m_wake.notify_one();
}

void TLogEcho::run() {
  prepareThread();
  std::vector<std::u16string> batch;
  std::string bytes;
  bool open = true;
  for (;;) {
    size_t dropped = 0;
    bool stopping = false;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [this] { return !m_queue.empty() || m_dropped > 0 || m_stopping; });
      if (m_queue.empty() && m_dropped == 0) return;  // stopping, and everything written
      stopping = m_stopping;
    }
    // Lines come a few at a time; letting them gather costs one wake-up and one write per batch instead of
    // per line or two. Nobody waits on this thread meanwhile: the queue being non-empty, loggers wake no one.
    if (!stopping) std::this_thread::sleep_for(kGather);
    {
      std::lock_guard lock(m_mutex);
      batch.swap(m_queue);
      m_queuedCharacters = 0;
      std::swap(dropped, m_dropped);
    }
    if (open) {
      bytes.clear();
      for (const std::u16string& line : batch) {
        bytes += EchoText(line);
        bytes += '\n';
      }
      if (dropped > 0) {
        bytes += "(" + std::to_string(dropped) + " log lines dropped: standard error did not take them in time)\n";
      }
      open = writeAll(bytes);
    }
    batch.clear();
  }
}

bool TLogEcho::givenUp() {
  std::lock_guard lock(m_mutex);
  return m_stopping && std::chrono::steady_clock::now() >= m_stopDeadline;
}

}  // namespace tessarine::shell
