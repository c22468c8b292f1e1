#include <windows.h>

#include <string>

#include "net/server/thread_name.h"

namespace tessarine::server {

void SetCurrentThreadName(std::u16string_view name) noexcept {
  // SetThreadDescription came with Windows 10 1607: looked up, so that older systems just go without names.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto setDescription = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (setDescription == nullptr) return;
  try {
    const std::wstring text =
        name.empty() ? std::wstring(L"IdThread (unknown)") : std::wstring(name.begin(), name.end());
    setDescription(GetCurrentThread(), text.c_str());
  } catch (...) {
    // A name is only a diagnostic aid.
  }
}

void SetCurrentThreadBatch() noexcept {
  // Windows has no batch class and raises a woken thread's priority only briefly; the workers stay at normal
  // priority, as the server's threads are specified.
}

}  // namespace tessarine::server
