#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "app/ini_file_system.h"
#include "common/text.h"

namespace tessarine::app::ini_system {

namespace {

std::wstring Wide(const std::string& utf8) {
  const std::u16string text = FromUtf8(utf8);
  return std::wstring(text.begin(), text.end());
}

std::string Utf8(const std::wstring& text) { return ToUtf8(std::u16string(text.begin(), text.end())); }

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

class Handle {
 public:
  explicit Handle(HANDLE handle) : m_handle(handle) {}
  ~Handle() {
    if (Valid()) CloseHandle(m_handle);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return m_handle; }
  // Closes now; false when the close failed (the last data may not have been written).
  bool Close() {
    const bool ok = CloseHandle(m_handle) != 0;
    m_handle = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE m_handle;
};

}  // namespace

std::string ReadFileBytes(const std::string& fileName, size_t maxSize, bool* tooLarge) {
  if (tooLarge) *tooLarge = false;
  // Shared every way: an editor may hold the file open, and the program's own replacement renames over it.
  const Handle file(CreateFileW(Wide(fileName).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid() || GetFileType(file.Get()) != FILE_TYPE_DISK) return {};
  std::string bytes;
  LARGE_INTEGER size{};
  bool large = GetFileSizeEx(file.Get(), &size) && static_cast<uintmax_t>(size.QuadPart) > maxSize;
  if (!large) bytes.reserve(static_cast<size_t>(size.QuadPart));
  char buffer[8192];
  // Bounded as well by what is read: the file may grow meanwhile.
  while (!large) {
    DWORD n = 0;
    if (!ReadFile(file.Get(), buffer, sizeof buffer, &n, nullptr)) {
      bytes.clear();
      break;
    }
    if (n == 0) break;
    bytes.append(buffer, n);
    large = bytes.size() > maxSize;
  }
  if (large) {
    bytes.clear();
    bytes.shrink_to_fit();
    if (tooLarge) *tooLarge = true;
  }
  return bytes;
}

std::optional<uintmax_t> RegularFileSize(const std::string& fileName) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Wide(fileName).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return std::nullopt;
  return (static_cast<uintmax_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool ReplaceContent(const std::string& fileName, const std::string& bytes) {
  static std::atomic<unsigned> counter{0};
  std::wstring temporary;
  HANDLE made = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && made == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = Wide(fileName + "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(counter++) + ".tmp");
    made = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (made == INVALID_HANDLE_VALUE) return false;
  Handle file(made);
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    ok = WriteFile(file.Get(), bytes.data() + done, chunk, &n, nullptr) != 0;
    done += n;
  }
  ok = FlushFileBuffers(file.Get()) != 0 && ok;
  ok = file.Close() && ok;
  // The rename is written through to the disk before the call returns.
  if (ok)
    ok = MoveFileExW(temporary.c_str(), Wide(fileName).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileW(temporary.c_str());
  return ok;
}

std::string DirectoryOf(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && !IsSeparator(path[end - 1])) --end;
  if (end == 0) return ".";
  // The root of a drive keeps its separator.
  if (end == 1 || (end == 3 && path[1] == ':')) return path.substr(0, end);
  return path.substr(0, end - 1);
}

void CreateFolders(const std::string& folder) {
  // Every prefix that ends before a separator: those that exist (or cannot be made, as a drive or a share) fail
  // harmlessly, and a folder that cannot be made fails the write that follows.
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i == folder.size() || IsSeparator(folder[i])) CreateDirectoryW(Wide(folder.substr(0, i)).c_str(), nullptr);
  }
}

std::string AnsiToUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (size <= 0) return std::string(bytes);
  std::wstring text(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
  return Utf8(text);
}

}  // namespace tessarine::app::ini_system
