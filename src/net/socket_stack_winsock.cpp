#include "net/socket_stack_winsock.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "common/text.h"
#include "net/exceptions.h"

namespace tessarine::net {

namespace {

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::u16string FromWide(const wchar_t* text, size_t size) { return std::u16string(text, text + size); }

// The system's text for a code ("%s" of the start-up failure), without its line break.
std::u16string SystemErrorText(int code) {
  wchar_t* buffer = nullptr;
  const DWORD size =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text = size > 0 ? FromWide(buffer, size) : std::u16string();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ')) text.pop_back();
  return text;
}

// Windows Sockets is started once and never cleaned up: the system does that when the process ends, after
// every network object of static lifetime is gone.
int StartWinsock() {
  static const int result = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return result;
}

int SystemResolve(const std::string& utf8Name, int family, sockaddr_storage& address) {
  ADDRINFOW hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* result = nullptr;
  const std::u16string name = FromUtf8(utf8Name);
  const int rc = GetAddrInfoW(Wide(name).c_str(), nullptr, &hints, &result);
  if (rc != 0) return rc;
  int outcome = WSAHOST_NOT_FOUND;
  for (ADDRINFOW* entry = result; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == family && entry->ai_addrlen <= sizeof(address)) {
      std::memset(&address, 0, sizeof(address));
      std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
      outcome = 0;
      break;
    }
  }
  FreeAddrInfoW(result);
  return outcome;
}

std::atomic<TIdStackWindows::TResolver> g_resolver{&SystemResolve};

// IdnToAscii of Normaliz.dll where the system has it: the ASCII form of an internationalised name.
class IdnLibrary {
 public:
  IdnLibrary() {
    HMODULE library = LoadLibraryW(L"Normaliz.dll");
    if (library != nullptr)
      m_toAscii = reinterpret_cast<ToAscii>(reinterpret_cast<void*>(GetProcAddress(library, "IdnToAscii")));
  }

  std::u16string ToAsciiName(std::u16string_view name) const {
    const bool ascii = std::all_of(name.begin(), name.end(), [](char16_t c) { return c < 0x80; });
    if (ascii || m_toAscii == nullptr || name.size() > INT_MAX) return std::u16string(name);
    const std::wstring wide = Wide(name);
    wchar_t output[256];
    const int size = m_toAscii(0, wide.data(), static_cast<int>(wide.size()), output, 256);
    if (size <= 0) return std::u16string(name);
    return FromWide(output, static_cast<size_t>(size));
  }

 private:
  using ToAscii = int(WINAPI*)(DWORD, const wchar_t*, int, wchar_t*, int);
  ToAscii m_toAscii = nullptr;
};

const IdnLibrary& Idn() {
  static const IdnLibrary library;
  return library;
}

int SystemFamily(TIdIPVersion ipVersion) {
  switch (ipVersion) {
    case Id_IPv4:
      return AF_INET;
    case Id_IPv6:
      return AF_INET6;
  }
  throw EIdIPVersionUnsupported();
}

// An empty IP is the family's wildcard address.
bool MakeSockaddr(std::u16string_view ip, uint16_t port, TIdIPVersion ipVersion, sockaddr_storage& address,
                  int& length) {
  std::memset(&address, 0, sizeof(address));
  if (ipVersion == Id_IPv4) {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    if (!ip.empty()) {
      if (!TIdStack::IsIPv4Literal(ip)) return false;
      uint32_t value = 0;
      unsigned part = 0;
      for (char16_t c : ip) {
        if (c == u'.') {
          value = (value << 8) | part;
          part = 0;
        } else {
          part = part * 10 + static_cast<unsigned>(c - u'0');
        }
      }
      in4->sin_addr.s_addr = htonl((value << 8) | part);
    }
    length = sizeof(sockaddr_in);
    return true;
  }
  if (ipVersion == Id_IPv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    if (!ip.empty()) {
      const std::u16string canonical = TIdStack::MakeCanonicalIPv6Address(ip);
      uint8_t bytes[16];
      if (canonical.empty() || !ParseIPv6Address(ToUtf8(canonical), bytes)) return false;
      std::memcpy(&in6->sin6_addr, bytes, sizeof(bytes));
    }
    length = sizeof(sockaddr_in6);
    return true;
  }
  throw EIdIPVersionUnsupported();
}

bool IsUnspecified(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) return reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr == 0;
  const auto& bytes = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr.s6_addr;
  return std::all_of(std::begin(bytes), std::end(bytes), [](unsigned char b) { return b == 0; });
}

void AddressFromSockaddr(const sockaddr_storage& address, std::u16string& ip, uint16_t& port, TIdIPVersion* ipVersion) {
  if (address.ss_family == AF_INET) {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&address);
    const uint32_t value = ntohl(in4->sin_addr.s_addr);
    ip = IntToStr((value >> 24) & 0xFF) + u"." + IntToStr((value >> 16) & 0xFF) + u"." + IntToStr((value >> 8) & 0xFF) +
         u"." + IntToStr(value & 0xFF);
    port = ntohs(in4->sin_port);
    if (ipVersion != nullptr) *ipVersion = Id_IPv4;
  } else if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ip = TIdStack::IPv6ToText(in6->sin6_addr.s6_addr);
    port = ntohs(in6->sin6_port);
    if (ipVersion != nullptr) *ipVersion = Id_IPv6;
  } else {
    throw EIdIPVersionUnsupported();
  }
}

int ClampedSize(size_t size) { return static_cast<int>(std::min<size_t>(size, INT_MAX)); }

}  // namespace

std::unique_ptr<TIdStack> CreateDefaultStack() { return std::make_unique<TIdStackWindows>(); }

bool ParseIPv6Address(const std::string& ascii, uint8_t (&bytes)[16]) {
  if (StartWinsock() != 0) return false;
  in6_addr address{};
  if (inet_pton(AF_INET6, ascii.c_str(), &address) != 1) return false;
  std::memcpy(bytes, address.s6_addr, sizeof(bytes));
  return true;
}

int SelectOne(SOCKET socket, bool forWrite, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  // A failed connect is reported in the exception set, not as writable.
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(socket, &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int rc = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, forWrite ? &failed : nullptr,
                        timeoutMs < 0 ? nullptr : &limit);
  return rc;
}

TIdStackWindows::TIdStackWindows() {
  const int code = StartWinsock();
  if (code != 0) {
    std::u16string message = u"Error on loading Winsock2 library (WS2_32.DLL)";
    message += u": " + SystemErrorText(code);
    throw EIdStackInitializationFailed(message);
  }
}

void TIdStackWindows::SetResolver(TResolver resolver) {
  g_resolver.store(resolver != nullptr ? resolver : &SystemResolve);
}

std::u16string TIdStackWindows::HostByName(std::u16string_view name, TIdIPVersion ipVersion) {
  const int family = SystemFamily(ipVersion);
  if (name.find(u'\0') != std::u16string_view::npos) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
  sockaddr_storage address{};
  const int rc = g_resolver.load()(ToUtf8(Idn().ToAsciiName(name)), family, address);
  if (rc != 0) RaiseSocketError(rc);
  std::u16string ip;
  uint16_t port = 0;
  AddressFromSockaddr(address, ip, port, nullptr);
  return ip;
}

TIdStackSocketHandle TIdStackWindows::Accept(TIdStackSocketHandle listening, std::u16string& ip, uint16_t& port,
                                             TIdIPVersion& ipVersion) {
  sockaddr_storage address{};
  int length = sizeof(address);
  const SOCKET accepted = accept(SystemSocket(listening), reinterpret_cast<sockaddr*>(&address), &length);
  if (accepted == INVALID_SOCKET) return Id_INVALID_SOCKET;
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6) {
    closesocket(accepted);
    throw EIdIPVersionUnsupported();
  }
  // An accepted socket would otherwise be inherited by every program this one starts.
  SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
  AddressFromSockaddr(address, ip, port, &ipVersion);
  return StackSocket(accepted);
}

void TIdStackWindows::Bind(TIdStackSocketHandle socket, std::u16string_view ip, uint16_t port, TIdIPVersion ipVersion) {
  sockaddr_storage address{};
  int length = 0;
  if (!MakeSockaddr(ip, port, ipVersion, address, length)) RaiseSocketError(WSAEADDRNOTAVAIL);
  if (bind(SystemSocket(socket), reinterpret_cast<const sockaddr*>(&address), length) != 0) RaiseLastSocketError();
}

bool TIdStackWindows::Connect(TIdStackSocketHandle socket, std::u16string_view ip, uint16_t port,
                              TIdIPVersion ipVersion, int timeoutMs) {
  sockaddr_storage address{};
  int length = 0;
  if (!MakeSockaddr(ip, port, ipVersion, address, length)) RaiseSocketError(WSAEADDRNOTAVAIL);
  if (IsUnspecified(address)) RaiseSocketError(WSAEADDRNOTAVAIL);
  const SOCKET s = SystemSocket(socket);

  // Non-blocking connect and a select for completion, so that the wait can be limited; the socket is blocking
  // again afterwards (Windows cannot tell whether it was before, and the handles never make one non-blocking).
  u_long nonBlocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) RaiseLastSocketError();
  struct RestoreBlocking {
    SOCKET s;
    ~RestoreBlocking() {
      u_long blocking = 0;
      ioctlsocket(s, FIONBIO, &blocking);
    }
  } restore{s};

  if (connect(s, reinterpret_cast<const sockaddr*>(&address), length) == 0) return true;
  if (WSAGetLastError() != WSAEWOULDBLOCK) RaiseLastSocketError();
  const int ready = SelectOne(s, true, timeoutMs);
  if (ready == SOCKET_ERROR) RaiseLastSocketError();
  if (ready == 0) return false;
  int soError = 0;
  int soLength = sizeof(soError);
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &soLength) != 0) RaiseLastSocketError();
  if (soError != 0) RaiseSocketError(soError);
  sockaddr_storage peer{};
  int peerLength = sizeof(peer);
  if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) RaiseLastSocketError();
  return true;
}

void TIdStackWindows::Disconnect(TIdStackSocketHandle socket) {
  const SOCKET s = SystemSocket(socket);
  shutdown(s, SD_BOTH);
  // Unlike POSIX, shutting a socket down does not wake a thread blocked on it in select, recv or accept;
  // cancelling the socket's pending I/O does (the blocking calls wait on I/O of their own, select on the first
  // socket of its sets). The socket itself stays open until its last user lets go.
  CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

void TIdStackWindows::GetPeerName(TIdStackSocketHandle socket, std::u16string& ip, uint16_t& port,
                                  TIdIPVersion* ipVersion) {
  sockaddr_storage address{};
  int length = sizeof(address);
  if (getpeername(SystemSocket(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) RaiseLastSocketError();
  AddressFromSockaddr(address, ip, port, ipVersion);
}

void TIdStackWindows::GetSocketName(TIdStackSocketHandle socket, std::u16string& ip, uint16_t& port,
                                    TIdIPVersion* ipVersion) {
  sockaddr_storage address{};
  int length = sizeof(address);
  if (getsockname(SystemSocket(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) RaiseLastSocketError();
  AddressFromSockaddr(address, ip, port, ipVersion);
}

void TIdStackWindows::Listen(TIdStackSocketHandle socket, int backlog) {
  if (listen(SystemSocket(socket), backlog) != 0) RaiseLastSocketError();
}

int TIdStackWindows::WSGetLastError() {
  const int code = WSAGetLastError();
  // STATUS_HOST_UNREACHABLE as some drivers report it.
  return static_cast<unsigned>(code) == 0xC000023Du ? 10065 : code;
}

int TIdStackWindows::GetSocketOption(TIdStackSocketHandle socket, int level, int optionName) {
  int value = 0;
  int length = sizeof(value);
  if (getsockopt(SystemSocket(socket), level, optionName, reinterpret_cast<char*>(&value), &length) != 0)
    RaiseLastSocketError();
  return value;
}

void TIdStackWindows::SetSocketOption(TIdStackSocketHandle socket, int level, int optionName, int value) {
  if (setsockopt(SystemSocket(socket), level, optionName, reinterpret_cast<const char*>(&value), sizeof(value)) != 0)
    RaiseLastSocketError();
}

ptrdiff_t TIdStackWindows::RecvRaw(TIdStackSocketHandle socket, uint8_t* buffer, size_t size) {
  const SOCKET s = SystemSocket(socket);
  const int n = recv(s, reinterpret_cast<char*>(buffer), ClampedSize(size), 0);
  // Windows reports a reset peer as 10054. Wine reports it as an end of stream and keeps no error to ask for:
  // under Wine a reset reads as an orderly close.
  if (n == SOCKET_ERROR && WSAGetLastError() == WSA_OPERATION_ABORTED) {
    // Woken by a close from another thread (Disconnect): the end of the stream, as on POSIX.
    return 0;
  }
  return n;
}

ptrdiff_t TIdStackWindows::SendRaw(TIdStackSocketHandle socket, const uint8_t* buffer, size_t size) {
  return send(SystemSocket(socket), reinterpret_cast<const char*>(buffer), ClampedSize(size), 0);
}

size_t TIdStackWindows::Receive(TIdStackSocketHandle socket, uint8_t* buffer, size_t size) {
  const ptrdiff_t n = RecvRaw(socket, buffer, size);
  if (n < 0) RaiseLastSocketError();
  return static_cast<size_t>(n);
}

size_t TIdStackWindows::Send(TIdStackSocketHandle socket, const uint8_t* buffer, size_t size) {
  if (size == 0) return 0;
  const ptrdiff_t n = SendRaw(socket, buffer, size);
  if (n < 0) RaiseLastSocketError();
  return static_cast<size_t>(n);
}

bool TIdStackWindows::SupportsIPv6() {
  const SOCKET s = socket(AF_INET6, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return false;
  closesocket(s);
  return true;
}

void TIdStackWindows::CloseSocket(TIdStackSocketHandle socket) { closesocket(SystemSocket(socket)); }

bool TIdStackWindows::WaitReadable(TIdStackSocketHandle socket, int timeoutMs) {
  const int rc = SelectOne(SystemSocket(socket), false, timeoutMs);
  // Woken by a close from another thread: readable, as a socket that was shut down is on POSIX.
  if (rc == SOCKET_ERROR && WSAGetLastError() == WSA_OPERATION_ABORTED) return true;
  if (rc == SOCKET_ERROR) RaiseLastSocketError();
  return rc > 0;
}

TIdStackSocketHandle TIdStackWindows::WSSocket(int family, int type, int protocol) {
  int systemFamily;
  if (family == Id_PF_INET4) {
    systemFamily = AF_INET;
  } else if (family == Id_PF_INET6) {
    systemFamily = AF_INET6;
  } else {
    throw EIdIPVersionUnsupported();
  }
  const SOCKET s =
      WSASocketW(systemFamily, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) RaiseLastSocketError();
  if (systemFamily == AF_INET6) {
    // Already the default of Windows; set so that the IPv6 wildcard listener never takes its IPv4 sibling's port.
    DWORD on = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof(on));
  }
  return StackSocket(s);
}

}  // namespace tessarine::net
