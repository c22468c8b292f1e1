#include <aclapi.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/owner_only_file.h"
#include "common/text.h"

namespace tessarine {

namespace {

std::string SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD size =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text = size > 0 ? std::u16string(buffer, buffer + size) : u"error " + IntToStr(code);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ' || text.back() == u'.'))
    text.pop_back();
  return ToUtf8(text);
}

// An access list that lets the current user, and nobody else, do anything with the file.
class OwnerOnlyAcl {
 public:
  OwnerOnlyAcl() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      m_error = GetLastError();
      return;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    m_user.resize(size);
    const bool ok = size > 0 && GetTokenInformation(token, TokenUser, m_user.data(), size, &size);
    if (!ok) m_error = GetLastError();
    CloseHandle(token);
    if (!ok) return;
    PSID sid = reinterpret_cast<TOKEN_USER*>(m_user.data())->User.Sid;
    m_acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    if (!InitializeAcl(Acl(), static_cast<DWORD>(m_acl.size()), ACL_REVISION) ||
        !AddAccessAllowedAce(Acl(), ACL_REVISION, FILE_ALL_ACCESS, sid) ||
        !InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&m_descriptor, TRUE, Acl(), FALSE) ||
        !SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
      m_error = GetLastError();
  }

  DWORD Error() const { return m_error; }
  ACL* Acl() { return reinterpret_cast<ACL*>(m_acl.data()); }
  SECURITY_DESCRIPTOR* Descriptor() { return &m_descriptor; }

 private:
  DWORD m_error = ERROR_SUCCESS;
  std::vector<unsigned char> m_user;
  std::vector<unsigned char> m_acl;
  SECURITY_DESCRIPTOR m_descriptor{};
};

}  // namespace

std::string RestrictToOwner(const std::string& path, bool create) {
  OwnerOnlyAcl acl;
  if (acl.Error() != ERROR_SUCCESS) return SystemText(acl.Error());
  const std::u16string name = FromUtf8(path);
  const std::wstring wide(name.begin(), name.end());
  // Created with the access list, so no other user can open it in between; an existing file is given it.
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), acl.Descriptor(), FALSE};
  const HANDLE file =
      CreateFileW(wide.c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  &attributes, create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (!create && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) return {};
    return SystemText(error);
  }
  std::string error;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS || !create;
  if (existed && GetFileType(file) == FILE_TYPE_DISK) {
    const DWORD rc =
        SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, acl.Acl(), nullptr);
    if (rc != ERROR_SUCCESS) error = SystemText(rc);
  }
  CloseHandle(file);
  return error;
}

}  // namespace tessarine
