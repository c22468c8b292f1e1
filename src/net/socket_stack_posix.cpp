#include "net/socket_stack_posix.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "common/text.h"
#include "net/exceptions.h"

namespace tessarine::net {

namespace {

using Clock = std::chrono::steady_clock;

int SystemResolve(const std::string& utf8Name, int family, sockaddr_storage& address) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const int rc = getaddrinfo(utf8Name.c_str(), nullptr, &hints, &result);
  if (rc != 0) return rc;
  int outcome = EAI_NONAME;
  for (addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == family && entry->ai_addrlen <= sizeof(address)) {
      std::memset(&address, 0, sizeof(address));
      std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
      outcome = 0;
      break;
    }
  }
  freeaddrinfo(result);
  return outcome;
}

std::atomic<TIdStackPosix::TResolver> g_resolver{&SystemResolve};

// libidn2, when installed, plays the part of Normaliz.dll's IdnToAscii. getaddrinfo's own AI_IDN is
// no substitute: it reads the name in the locale's charset, and in the "C" locale every non-ASCII
// name fails. Loaded once and never unloaded.
class IdnLibrary {
 public:
  IdnLibrary() {
    m_library = dlopen("libidn2.so.0", RTLD_NOW | RTLD_LOCAL);
    if (m_library == nullptr) return;
    m_toAscii = reinterpret_cast<ToAscii>(dlsym(m_library, "idn2_to_ascii_8z"));
    m_free = reinterpret_cast<Free>(dlsym(m_library, "idn2_free"));
  }

  // The ASCII form of a UTF-8 name; the name itself when it needs none or cannot be converted.
  std::string ToAsciiName(const std::string& utf8) const {
    const bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; });
    if (ascii || m_toAscii == nullptr || m_free == nullptr) return utf8;
    // TR46 transitional mapping with NFC: the IDNA2003 results IdnToAscii gives (case folded, ß -> ss).
    constexpr int kNfcInput = 1;
    constexpr int kTransitional = 4;
    char* output = nullptr;
    if (m_toAscii(utf8.c_str(), &output, kNfcInput | kTransitional) != 0 || output == nullptr) {
      if (output != nullptr) m_free(output);
      return utf8;
    }
    std::string converted(output);
    m_free(output);
    return converted;
  }

 private:
  using ToAscii = int (*)(const char*, char**, int);
  using Free = void (*)(void*);

  void* m_library = nullptr;
  ToAscii m_toAscii = nullptr;
  Free m_free = nullptr;
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

bool ParseIPv4(std::u16string_view text, in_addr& out) {
  if (!TIdStack::IsIPv4Literal(text)) return false;
  uint32_t value = 0;
  unsigned part = 0;
  for (char16_t c : text) {
    if (c == u'.') {
      value = (value << 8) | part;
      part = 0;
    } else {
      part = part * 10 + static_cast<unsigned>(c - u'0');
    }
  }
  value = (value << 8) | part;
  out.s_addr = htonl(value);
  return true;
}

// An empty IP is the family's wildcard address.
bool MakeSockaddr(std::u16string_view ip, uint16_t port, TIdIPVersion ipVersion, sockaddr_storage& address,
                  socklen_t& length) {
  std::memset(&address, 0, sizeof(address));
  if (ipVersion == Id_IPv4) {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    if (ip.empty()) {
      in4->sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (!ParseIPv4(ip, in4->sin_addr)) {
      return false;
    }
    length = sizeof(sockaddr_in);
    return true;
  }
  if (ipVersion == Id_IPv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    in6->sin6_addr = in6addr_any;
    if (!ip.empty()) {
      const std::u16string canonical = TIdStack::MakeCanonicalIPv6Address(ip);
      if (canonical.empty()) return false;
      const std::string ascii = ToUtf8(canonical);
      if (inet_pton(AF_INET6, ascii.c_str(), &in6->sin6_addr) != 1) return false;
    }
    length = sizeof(sockaddr_in6);
    return true;
  }
  throw EIdIPVersionUnsupported();
}

bool IsUnspecified(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr == htonl(INADDR_ANY);
  return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr);
}

// Milliseconds left until deadline for poll(); -1 stays -1.
int RemainingMs(int timeoutMs, Clock::time_point deadline) {
  if (timeoutMs < 0) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// poll() on one descriptor, resumed after signals; returns revents, 0 when the time ran out.
int PollOne(int fd, short events, int timeoutMs, int& error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  pollfd entry{fd, events, 0};
  int wait = timeoutMs < 0 ? -1 : timeoutMs;
  while (true) {
    const int rc = poll(&entry, 1, wait);
    if (rc > 0) return entry.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) {
      error = errno;
      return -1;
    }
    wait = RemainingMs(timeoutMs, deadline);
  }
}

// The Windows Sockets numbering of the levels and options the handles use, in the system's own.
void SystemOption(int& level, int& optionName) {
  if (level == Id_SOL_SOCKET) {
    level = SOL_SOCKET;
    if (optionName == Id_SO_TYPE) {
      optionName = SO_TYPE;
    } else if (optionName == Id_SO_REUSEADDR) {
      optionName = SO_REUSEADDR;
    }
  } else if (level == Id_IPPROTO_TCP && optionName == Id_TCP_NODELAY) {
    level = IPPROTO_TCP;
    optionName = TCP_NODELAY;
  }
}

}  // namespace

std::unique_ptr<TIdStack> CreateDefaultStack() { return std::make_unique<TIdStackPosix>(); }

bool ParseIPv6Address(const std::string& ascii, uint8_t (&bytes)[16]) {
  in6_addr address{};
  if (inet_pton(AF_INET6, ascii.c_str(), &address) != 1) return false;
  std::memcpy(bytes, address.s6_addr, sizeof(bytes));
  return true;
}

int WSErrorFromErrno(int errnoValue) {
  // EWOULDBLOCK is EAGAIN and ESHUTDOWN shares EPIPE's code, so the table is searched, not switched.
  static constexpr std::pair<int, int> kCodes[] = {
      {EINTR, 10004},           {EBADF, 10009},         {EACCES, 10013},       {EFAULT, 10014},
      {EINVAL, 10022},          {EMFILE, 10024},        {EAGAIN, 10035},       {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},     {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},
      {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
      {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},
      {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {ENOBUFS, 10055},
      {EISCONN, 10056},         {ENOTCONN, 10057},      {EPIPE, 10058},        {ESHUTDOWN, 10058},
      {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {ELOOP, 10062},
      {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
  };
  for (const auto& [system, windows] : kCodes)
    if (system == errnoValue) return windows;
  return errnoValue;
}

int WSErrorFromResolver(int resolverCode, int errnoValue) {
  switch (resolverCode) {
    case 0:
      return 0;
    // Windows folds "no address of that family" into "host not found".
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return Id_WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return Id_WSATRY_AGAIN;
    case EAI_FAMILY:
      return 10047;
    case EAI_SOCKTYPE:
      return 10044;
    case EAI_BADFLAGS:
      return 10022;
    case EAI_SERVICE:
      return 10109;
    case EAI_MEMORY:
      return 8;
    case EAI_SYSTEM:
      return WSErrorFromErrno(errnoValue);
    default:
      return Id_WSANO_RECOVERY;
  }
}

void TIdStackPosix::SetResolver(TResolver resolver) {
  g_resolver.store(resolver != nullptr ? resolver : &SystemResolve);
}

std::u16string TIdStackPosix::HostByName(std::u16string_view name, TIdIPVersion ipVersion) {
  const int family = SystemFamily(ipVersion);
  // A NUL would silently shorten the name the resolver sees.
  if (name.find(u'\0') != std::u16string_view::npos) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
  sockaddr_storage address{};
  errno = 0;
  const int rc = g_resolver.load()(Idn().ToAsciiName(ToUtf8(name)), family, address);
  if (rc != 0) RaiseSocketError(WSErrorFromResolver(rc, errno));
  std::u16string ip;
  uint16_t port = 0;
  addressFromSockaddr(address, ip, port, nullptr);
  return ip;
}

void TIdStackPosix::addressFromSockaddr(const sockaddr_storage& address, std::u16string& ip, uint16_t& port,
                                        TIdIPVersion* ipVersion) {
  if (address.ss_family == AF_INET) {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in4->sin_addr, text, sizeof(text));
    ip = Widen(text);
    port = ntohs(in4->sin_port);
    if (ipVersion != nullptr) *ipVersion = Id_IPv4;
  } else if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ip = IPv6ToText(in6->sin6_addr.s6_addr);
    port = ntohs(in6->sin6_port);
    if (ipVersion != nullptr) *ipVersion = Id_IPv6;
  } else {
    throw EIdIPVersionUnsupported();
  }
}

TIdStackSocketHandle TIdStackPosix::Accept(TIdStackSocketHandle listening, std::u16string& ip, uint16_t& port,
                                           TIdIPVersion& ipVersion) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  int fd;
  do {
    length = sizeof(address);
    fd = accept4(listening, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Id_INVALID_SOCKET;
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6) {
    close(fd);
    throw EIdIPVersionUnsupported();
  }
  addressFromSockaddr(address, ip, port, &ipVersion);
  return fd;
}

void TIdStackPosix::Bind(TIdStackSocketHandle socket, std::u16string_view ip, uint16_t port, TIdIPVersion ipVersion) {
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!MakeSockaddr(ip, port, ipVersion, address, length)) RaiseSocketError(10049);
  if (bind(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0) RaiseLastSocketError();
}

bool TIdStackPosix::Connect(TIdStackSocketHandle socket, std::u16string_view ip, uint16_t port, TIdIPVersion ipVersion,
                            int timeoutMs) {
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!MakeSockaddr(ip, port, ipVersion, address, length)) RaiseSocketError(10049);
  // Windows refuses the unspecified address as a peer; Linux would quietly connect to this host.
  if (IsUnspecified(address)) RaiseSocketError(10049);

  // Non-blocking connect and a poll for completion: the wait can be limited, survives signals, and
  // ends when another thread shuts the socket down.
  const int flags = fcntl(socket, F_GETFL);
  if (flags < 0) RaiseLastSocketError();
  const bool wasBlocking = (flags & O_NONBLOCK) == 0;
  if (wasBlocking && fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0) RaiseLastSocketError();
  struct RestoreFlags {
    int fd, flags;
    bool active;
    ~RestoreFlags() {
      if (active) fcntl(fd, F_SETFL, flags);
    }
  } restore{socket, flags, wasBlocking};

  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), length) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) RaiseLastSocketError();

  int pollError = 0;
  const int revents = PollOne(socket, POLLOUT, timeoutMs, pollError);
  if (revents < 0) RaiseSocketError(WSErrorFromErrno(pollError));
  if (revents == 0) return false;
  int soError = 0;
  socklen_t soLength = sizeof(soError);
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &soError, &soLength) != 0) RaiseLastSocketError();
  if (soError != 0) RaiseSocketError(WSErrorFromErrno(soError));
  sockaddr_storage peer{};
  socklen_t peerLength = sizeof(peer);
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) RaiseLastSocketError();
  return true;
}

void TIdStackPosix::Disconnect(TIdStackSocketHandle socket) { shutdown(socket, SHUT_RDWR); }

void TIdStackPosix::GetPeerName(TIdStackSocketHandle socket, std::u16string& ip, uint16_t& port,
                                TIdIPVersion* ipVersion) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) RaiseLastSocketError();
  addressFromSockaddr(address, ip, port, ipVersion);
}

void TIdStackPosix::GetSocketName(TIdStackSocketHandle socket, std::u16string& ip, uint16_t& port,
                                  TIdIPVersion* ipVersion) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) RaiseLastSocketError();
  addressFromSockaddr(address, ip, port, ipVersion);
}

void TIdStackPosix::Listen(TIdStackSocketHandle socket, int backlog) {
  if (listen(socket, backlog) != 0) RaiseLastSocketError();
}

int TIdStackPosix::WSGetLastError() { return WSErrorFromErrno(errno); }

int TIdStackPosix::GetSocketOption(TIdStackSocketHandle socket, int level, int optionName) {
  SystemOption(level, optionName);
  int value = 0;
  socklen_t length = sizeof(value);
  if (getsockopt(socket, level, optionName, &value, &length) != 0) RaiseLastSocketError();
  return value;
}

void TIdStackPosix::SetSocketOption(TIdStackSocketHandle socket, int level, int optionName, int value) {
  SystemOption(level, optionName);
  if (setsockopt(socket, level, optionName, &value, sizeof(value)) != 0) RaiseLastSocketError();
}

ptrdiff_t TIdStackPosix::RecvRaw(TIdStackSocketHandle socket, uint8_t* buffer, size_t size) {
  ssize_t n;
  do {
    n = recv(socket, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

ptrdiff_t TIdStackPosix::SendRaw(TIdStackSocketHandle socket, const uint8_t* buffer, size_t size) {
  ssize_t n;
  do {
    // A closed peer must come back as EPIPE, never as SIGPIPE.
    n = send(socket, buffer, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

size_t TIdStackPosix::Receive(TIdStackSocketHandle socket, uint8_t* buffer, size_t size) {
  const ptrdiff_t n = RecvRaw(socket, buffer, size);
  if (n < 0) RaiseLastSocketError();
  return static_cast<size_t>(n);
}

size_t TIdStackPosix::Send(TIdStackSocketHandle socket, const uint8_t* buffer, size_t size) {
  if (size == 0) return 0;
  const ptrdiff_t n = SendRaw(socket, buffer, size);
  if (n < 0) RaiseLastSocketError();
  return static_cast<size_t>(n);
}

bool TIdStackPosix::SupportsIPv6() {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void TIdStackPosix::CloseSocket(TIdStackSocketHandle socket) { close(socket); }

bool TIdStackPosix::WaitReadable(TIdStackSocketHandle socket, int timeoutMs) {
  int error = 0;
  const int revents = PollOne(socket, POLLIN, timeoutMs, error);
  if (revents < 0) RaiseSocketError(WSErrorFromErrno(error));
  return revents != 0;
}

TIdStackSocketHandle TIdStackPosix::WSSocket(int family, int type, int protocol) {
  int systemFamily;
  if (family == Id_PF_INET4) {
    systemFamily = AF_INET;
  } else if (family == Id_PF_INET6) {
    systemFamily = AF_INET6;
  } else {
    throw EIdIPVersionUnsupported();
  }
  const int fd = socket(systemFamily, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) RaiseLastSocketError();
  if (systemFamily == AF_INET6) {
    // Windows keeps IPv6 sockets apart from IPv4; without this an IPv6 wildcard listener would take
    // the IPv4 port of its sibling binding.
    int on = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
  }
  return fd;
}

}  // namespace tessarine::net
