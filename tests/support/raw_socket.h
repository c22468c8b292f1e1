#pragma once

// Plain system sockets for tests: a peer that a test drives byte by byte, on loopback only.

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "support/system_socket.h"

namespace tessarine::test_support {

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

inline bool PollIn(int fd, std::chrono::milliseconds wait) {
  return PollSocket(fd, POLLIN, static_cast<int>(wait.count())) > 0;
}

// A descriptor owned by the test.
class RawSocket {
 public:
  RawSocket() = default;
  explicit RawSocket(int fd) : m_fd(fd) {}
  RawSocket(RawSocket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  RawSocket& operator=(RawSocket&& other) noexcept {
    if (this != &other) {
      Close();
      m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
  }
  ~RawSocket() { Close(); }

  int Fd() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }

  void Send(std::string_view bytes) const {
    for (size_t offset = 0; offset < bytes.size();) {
      const ssize_t n = ::send(m_fd, bytes.data() + offset, static_cast<int>(bytes.size() - offset), kSendNoSignal);
      if (n <= 0) throw std::runtime_error("raw send failed");
      offset += static_cast<size_t>(n);
    }
  }

  // Reads until count bytes arrived, the peer closed (or reset), or the limit passed.
  std::string Receive(size_t count, std::chrono::milliseconds limit = kWaitLimit) const {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (out.size() < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !PollIn(m_fd, left)) break;
      char chunk[65536];
      const ssize_t n = ::recv(m_fd, chunk, static_cast<int>(std::min(sizeof(chunk), count - out.size())), 0);
      if (n <= 0) break;
      out.append(chunk, static_cast<size_t>(n));
    }
    return out;
  }

  bool HasInput(std::chrono::milliseconds wait) const { return PollIn(m_fd, wait); }
  void ShutdownWrite() const { ::shutdown(m_fd, kShutWrite); }

  // Closes with an RST instead of a FIN.
  void Reset() {
    const linger option{1, 0};
    SetSocketOption(m_fd, SOL_SOCKET, SO_LINGER, option);
    Close();
  }

  void Close() {
    if (m_fd >= 0) CloseSocketFd(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

// The loopback (or any-) address of the family (AF_INET or AF_INET6) with the port.
inline socklen_t MakeAddress(int family, uint16_t port, bool loopback, sockaddr_storage& address) {
  address = {};
  if (family == AF_INET) {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    in4->sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    return sizeof(sockaddr_in);
  }
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(port);
  in6->sin6_addr = loopback ? in6addr_loopback : in6addr_any;
  return sizeof(sockaddr_in6);
}

inline uint16_t LocalPort(const RawSocket& socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  ::getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&address), &length);
  // The port sits at the same offset in both address structures.
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

inline RawSocket RawConnectTo(int family, uint16_t port) {
  RawSocket socket(NewSocket(family));
  sockaddr_storage address;
  const socklen_t length = MakeAddress(family, port, true, address);
  if (::connect(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0)
    throw std::runtime_error("raw connect failed");
  return socket;
}

struct ListenOptions {
  bool loopback = true;
  int backlog = 16;
  // Address reuse, so old connections in TIME_WAIT do not stand in the way, and IPv6 only for AF_INET6,
  // as another program holding the port would set them.
  bool likeAServer = false;
};

// A listener on the port (0: a free one); invalid when the port cannot be had.
inline RawSocket RawListenOn(int family, uint16_t port, ListenOptions options = {}) {
  RawSocket socket(NewSocket(family));
  if (options.likeAServer) {
    const int on = 1;
    SetSocketOption(socket.Fd(), SOL_SOCKET, SO_REUSEADDR, on);
    if (family == AF_INET6) SetSocketOption(socket.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, on);
  }
  sockaddr_storage address;
  const socklen_t length = MakeAddress(family, port, options.loopback, address);
  if (::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(socket.Fd(), options.backlog) != 0)
    return RawSocket();
  return socket;
}

}  // namespace tessarine::test_support
