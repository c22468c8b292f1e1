#pragma once

// Loopback helpers for the socket and connection tests: a raw POSIX peer that a test drives byte by
// byte, and an I/O handler connected to it. Everything binds port 0 on 127.0.0.1 or ::1.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "net/io_handler_stack.h"
#include "net/socket_stack.h"

namespace tessarine::net::testing {

inline constexpr auto kWaitLimit = std::chrono::seconds(10);

// Polls cond every millisecond until it holds or limit passes.
template <typename Condition>
bool WaitFor(Condition cond, std::chrono::milliseconds limit = kWaitLimit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline sockaddr_storage LoopbackAddress(TIdIPVersion ipVersion, uint16_t port, socklen_t& length) {
  sockaddr_storage address{};
  if (ipVersion == Id_IPv4) {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    in6->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  }
  return address;
}

// A plain descriptor owned by the test.
class RawSocket {
 public:
  RawSocket() = default;
  explicit RawSocket(int fd) : m_fd(fd) {}
  RawSocket(RawSocket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
  RawSocket& operator=(RawSocket&& other) noexcept {
    if (this != &other) {
      Close();
      m_fd = other.m_fd;
      other.m_fd = -1;
    }
    return *this;
  }
  ~RawSocket() { Close(); }

  int Fd() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }

  void Send(std::string_view bytes) const {
    size_t offset = 0;
    while (offset < bytes.size()) {
      const ssize_t n = ::send(m_fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("raw send failed");
      offset += static_cast<size_t>(n);
    }
  }

  // Reads until count bytes arrived, the peer closed, or the wait limit passed.
  std::string Receive(size_t count, std::chrono::milliseconds limit = kWaitLimit) const {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (out.size() < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd entry{m_fd, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left)) <= 0) break;
      char chunk[65536];
      const ssize_t n = ::recv(m_fd, chunk, std::min(sizeof(chunk), count - out.size()), 0);
      if (n <= 0) break;
      out.append(chunk, static_cast<size_t>(n));
    }
    return out;
  }

  // Whether anything (data or end of stream) is waiting within the time given.
  bool HasInput(std::chrono::milliseconds wait) const {
    pollfd entry{m_fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) > 0;
  }

  void ShutdownWrite() const { ::shutdown(m_fd, SHUT_WR); }

  // Closes with an RST instead of a FIN.
  void Reset() {
    linger option{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
    Close();
  }

  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

inline RawSocket RawListen(TIdIPVersion ipVersion, uint16_t& port, int backlog = 16) {
  const int family = ipVersion == Id_IPv4 ? AF_INET : AF_INET6;
  RawSocket socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.Valid()) throw std::runtime_error("raw socket failed");
  socklen_t length = 0;
  sockaddr_storage address = LoopbackAddress(ipVersion, 0, length);
  if (::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0)
    throw std::runtime_error("raw bind failed");
  if (::listen(socket.Fd(), backlog) != 0) throw std::runtime_error("raw listen failed");
  length = sizeof(address);
  ::getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(ipVersion == Id_IPv4 ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return socket;
}

inline RawSocket RawAccept(const RawSocket& listener) {
  pollfd entry{listener.Fd(), POLLIN, 0};
  if (::poll(&entry, 1, static_cast<int>(std::chrono::milliseconds(kWaitLimit).count())) <= 0)
    throw std::runtime_error("nothing to accept");
  return RawSocket(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
}

inline RawSocket RawConnect(TIdIPVersion ipVersion, uint16_t port) {
  RawSocket socket(::socket(ipVersion == Id_IPv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  socklen_t length = 0;
  sockaddr_storage address = LoopbackAddress(ipVersion, port, length);
  if (::connect(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0)
    throw std::runtime_error("raw connect failed");
  return socket;
}

// Whether ::1 can be bound here (IPv6 may be switched off in a container).
inline bool Ipv6LoopbackAvailable() {
  try {
    uint16_t port = 0;
    RawListen(Id_IPv6, port);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// An opened plain-socket handler connected to a raw peer.
struct LoopbackPair {
  std::unique_ptr<TIdIOHandlerStack> handler;
  RawSocket peer;

  static LoopbackPair Connect(TIdIPVersion ipVersion = Id_IPv4) {
    uint16_t port = 0;
    RawSocket listener = RawListen(ipVersion, port);
    LoopbackPair pair;
    pair.handler = std::make_unique<TIdIOHandlerStack>();
    pair.handler->SetIPVersion(ipVersion);
    pair.handler->SetHost(ipVersion == Id_IPv4 ? u"127.0.0.1" : u"::1");
    pair.handler->SetPort(port);
    pair.handler->Open();
    pair.peer = RawAccept(listener);
    return pair;
  }
};

}  // namespace tessarine::net::testing
