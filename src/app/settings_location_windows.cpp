#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/settings_location.h"
#include "common/text.h"

namespace tessarine::app {

namespace {

constexpr char kFileName[] = "setting.ini";

std::wstring Wide(const std::string& utf8) {
  const std::u16string text = FromUtf8(utf8);
  return std::wstring(text.begin(), text.end());
}

std::string Utf8(std::wstring_view text) { return ToUtf8(std::u16string(text.begin(), text.end())); }

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string Environment(const wchar_t* name) {
  const wchar_t* value = _wgetenv(name);
  return value ? Utf8(value) : std::string();
}

// Whether this process may create a file in folder: the access lists, the read-only attribute of a medium and
// the user's rights all have a say, so the check is a file made and removed at once.
bool MayCreateFileIn(const std::string& folder) {
  const std::wstring probe = Wide(folder + "\\tessarine-" + std::to_string(GetCurrentProcessId()) + ".probe");
  const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

}  // namespace

std::string ExecutableFolder() {
  std::vector<wchar_t> buffer(MAX_PATH);
  while (true) {
    const DWORD size = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (size == 0) return ".";
    if (size < buffer.size()) {
      std::wstring path(buffer.data(), size);
      const size_t separator = path.find_last_of(L"\\/");
      return separator == std::wstring::npos ? "." : Utf8(std::wstring_view(path).substr(0, separator));
    }
    buffer.resize(buffer.size() * 2);
  }
}

TSettingsPlace ChooseSettingsFile(const TSettingsEnvironment& environment) {
  TSettingsPlace beside{environment.ExecutableFolder + "\\" + kFileName, false};
  if (environment.BesideExists || environment.FolderWritable || environment.AppData.empty()) return beside;
  std::string appData = environment.AppData;
  while (appData.size() > 3 && IsSeparator(appData.back())) appData.pop_back();
  if (!IsSeparator(appData.back())) appData += '\\';
  return {appData + "Tessarine Proxy\\" + kFileName, true};
}

bool IsSystemFolder(const std::string&) { return false; }

TSettingsEnvironment ReadSettingsEnvironment(const std::string& executableFolder) {
  TSettingsEnvironment environment;
  environment.ExecutableFolder = executableFolder;
  environment.BesideExists =
      GetFileAttributesW(Wide(executableFolder + "\\" + kFileName).c_str()) != INVALID_FILE_ATTRIBUTES;
  environment.FolderWritable = MayCreateFileIn(executableFolder);
  environment.AppData = Environment(L"APPDATA");
  return environment;
}

TSettingsPlace GivenSettingsFile(const std::string& fileName) {
  const std::wstring name = Wide(fileName);
  const DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (size == 0) return {fileName, false};
  std::wstring full(size, L'\0');
  const DWORD written = GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
  if (written == 0 || written >= size) return {fileName, false};
  full.resize(written);
  return {Utf8(full), false};
}

std::string CacheDatabaseBeside(const std::string& settingsFile) {
  return settingsFile.substr(0, settingsFile.find_last_of("/\\") + 1) + "translations.sqlite";
}

}  // namespace tessarine::app
