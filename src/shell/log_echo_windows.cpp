// The --log echo's writing on Windows: WriteFile on the descriptor's handle. A pipe is switched to its
// non-blocking mode, so that a reader that takes nothing holds the echo thread only until it gives up.

#include <io.h>
#include <windows.h>

#include <algorithm>

#include "shell/log_echo.h"

namespace tessarine::shell {

namespace {

constexpr size_t kChunk = 4096;
constexpr DWORD kRetryMs = 10;

}  // namespace

void TLogEcho::prepareThread() {
  // Nothing to arrange: a write to a pipe whose reader has gone fails with an error on Windows.
}

bool TLogEcho::writeAll(const std::string& bytes) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(m_fd));
  if (handle == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(handle) == FILE_TYPE_PIPE) {
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);
  }
  size_t done = 0;
  while (done < bytes.size()) {
    // Whole lines where they fit, so what others write to the same descriptor lands between lines.
    size_t size = std::min(bytes.size() - done, kChunk);
    if (done + size < bytes.size()) {
      const size_t lineEnd = bytes.rfind('\n', done + size - 1);
      if (lineEnd != std::string::npos && lineEnd >= done) size = lineEnd + 1 - done;
    }
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(size), &written, nullptr)) return false;
    if (written > 0) {
      done += written;
      continue;
    }
    // A full pipe takes nothing for now.
    if (givenUp()) return false;
    Sleep(kRetryMs);
  }
  return true;
}

}  // namespace tessarine::shell
