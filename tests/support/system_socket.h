#pragma once

// The system's sockets for tests, with the few calls POSIX and Windows spell differently. Socket values are ints
// on both (Windows keeps them within 32 bits).

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/socket_stack_winsock.h"
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/socket_stack_posix.h"
#endif

#include <cstddef>

namespace tessarine::test_support {

#ifdef _WIN32
using SystemStack = net::TIdStackWindows;
using ssize_t = ptrdiff_t;
inline constexpr int kSendNoSignal = 0;
inline constexpr int kShutWrite = SD_SEND;
// Raw sockets may be made before any network object has started Windows Sockets.
inline const int g_winsockStarted = [] {
  WSADATA data{};
  return WSAStartup(MAKEWORD(2, 2), &data);
}();
// Wine's sockets differ from Windows' in a few documented ways (a reset peer reads as an end of stream).
inline bool RunningUnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }
inline int NewSocket(int family) { return static_cast<int>(::socket(family, SOCK_STREAM, 0)); }
inline int AcceptSocket(int listener) { return static_cast<int>(::accept(listener, nullptr, nullptr)); }
inline void CloseSocketFd(int fd) { ::closesocket(fd); }
inline int PollSocket(int fd, short events, int timeoutMs) {
  WSAPOLLFD entry{static_cast<SOCKET>(fd), events, 0};
  return ::WSAPoll(&entry, 1, timeoutMs);
}
// SO_RCVTIMEO and SO_SNDTIMEO take milliseconds on Windows.
inline void SetSocketTimeouts(int fd, int milliseconds) {
  const DWORD limit = static_cast<DWORD>(milliseconds);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit));
}
#else
using SystemStack = net::TIdStackPosix;
inline bool RunningUnderWine() { return false; }
inline constexpr int kSendNoSignal = MSG_NOSIGNAL;
inline constexpr int kShutWrite = SHUT_WR;
inline int NewSocket(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }
inline int AcceptSocket(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }
inline void CloseSocketFd(int fd) { ::close(fd); }
inline int PollSocket(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  return ::poll(&entry, 1, timeoutMs);
}
inline void SetSocketTimeouts(int fd, int milliseconds) {
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}
#endif

template <typename T>
int SetSocketOption(int fd, int level, int name, const T& value) {
  return ::setsockopt(fd, level, name, reinterpret_cast<const char*>(&value), sizeof(value));
}

// Windows writes a one-byte BOOLEAN for some options (TCP_NODELAY), so the value starts at 0.
inline int GetIntSocketOption(int fd, int level, int name) {
  int value = 0;
  socklen_t length = sizeof(value);
  ::getsockopt(fd, level, name, reinterpret_cast<char*>(&value), &length);
  return value;
}

}  // namespace tessarine::test_support
