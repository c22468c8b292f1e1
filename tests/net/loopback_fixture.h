#pragma once

// Loopback helpers for the socket and connection tests: a raw POSIX peer that a test drives byte by
// byte, and an I/O handler connected to it. Everything binds port 0 on 127.0.0.1 or ::1.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "net/io_handler_stack.h"

namespace tessarine::net::testing {

inline constexpr auto kWaitLimit = std::chrono::seconds(10);

// Runs action and checks that it raises E with exactly this message.
template <typename E, typename Action>
void ExpectRaises(Action&& action, std::u16string_view message) {
  try {
    action();
    ADD_FAILURE() << "no exception";
  } catch (const E& e) {
    EXPECT_EQ(e.Message(), message);
  }
}

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
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(wait.count())) > 0;
}

// A plain descriptor owned by the test.
class RawSocket {
 public:
  explicit RawSocket(int fd = -1) : m_fd(fd) {}
  RawSocket(RawSocket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  RawSocket& operator=(RawSocket&& other) noexcept {
    std::swap(m_fd, other.m_fd);
    return *this;
  }
  ~RawSocket() { Close(); }

  int Fd() const { return m_fd; }

  void Send(std::string_view bytes) const {
    for (size_t offset = 0; offset < bytes.size();) {
      const ssize_t n = ::send(m_fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("raw send failed");
      offset += static_cast<size_t>(n);
    }
  }

  // Reads until count bytes arrived, the peer closed, or nothing came for the wait limit.
  std::string Receive(size_t count) const {
    std::string out;
    char chunk[65536];
    while (out.size() < count && PollIn(m_fd, kWaitLimit)) {
      const ssize_t n = ::recv(m_fd, chunk, std::min(sizeof(chunk), count - out.size()), 0);
      if (n <= 0) break;
      out.append(chunk, static_cast<size_t>(n));
    }
    return out;
  }

  bool HasInput(std::chrono::milliseconds wait) const { return PollIn(m_fd, wait); }
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
  int m_fd;
};

inline RawSocket RawListen(TIdIPVersion ipVersion, uint16_t& port, int backlog = 16) {
  sockaddr_storage address{};
  socklen_t length;
  if (ipVersion == Id_IPv4) {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  }
  RawSocket socket(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(socket.Fd(), backlog) != 0)
    throw std::runtime_error("raw listen failed");
  ::getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&address), &length);
  // The port sits at the same offset in both address structures.
  port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return socket;
}

inline RawSocket RawAccept(const RawSocket& listener) {
  if (!PollIn(listener.Fd(), kWaitLimit)) throw std::runtime_error("nothing to accept");
  return RawSocket(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
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
    const RawSocket listener = RawListen(ipVersion, port);
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
