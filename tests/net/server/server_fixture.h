#pragma once

// A TIdHTTPServer on 127.0.0.1 (port 0) and raw clients that send bytes and read the answer up to the
// server's close.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/server/http_server.h"

namespace tessarine::server::testing {

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

// A plain client descriptor owned by the test.
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
    for (size_t offset = 0; offset < bytes.size();) {
      const ssize_t n = ::send(m_fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
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

  void ShutdownWrite() const { ::shutdown(m_fd, SHUT_WR); }

  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

inline RawSocket RawConnect(net::TIdIPVersion ipVersion, uint16_t port) {
  const int family = ipVersion == net::Id_IPv4 ? AF_INET : AF_INET6;
  RawSocket socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage address{};
  socklen_t length;
  if (family == AF_INET) {
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
  if (::connect(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0)
    throw std::runtime_error("raw connect failed");
  return socket;
}

// A listener on the loopback or any-address of the family (IPv6 only for AF_INET6), as another program
// would hold a port; invalid when the port cannot be had. Old connections in TIME_WAIT do not stand in its way.
inline RawSocket RawListen(int family, uint16_t port, bool loopback) {
  RawSocket socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int reuse = 1;
  ::setsockopt(socket.Fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  if (family == AF_INET6) {
    int on = 1;
    ::setsockopt(socket.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
  }
  sockaddr_storage address{};
  socklen_t length;
  if (family == AF_INET) {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    in4->sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    length = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    in6->sin6_addr = loopback ? in6addr_loopback : in6addr_any;
    length = sizeof(sockaddr_in6);
  }
  if (::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(socket.Fd(), 4) != 0)
    return RawSocket();
  return socket;
}

inline uint16_t LocalPort(const RawSocket& socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  ::getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&address), &length);
  // The port sits at the same offset in both address structures.
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// Everything the peer sends until it closes (or the limit passes).
inline std::string ReadToClose(const RawSocket& socket, std::chrono::milliseconds limit = kWaitLimit) {
  return socket.Receive(SIZE_MAX, limit);
}

class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() {
    server.SetName(u"IdHTTPServer1");
    // Port 0: a free port of the system's choosing, so test programs running side by side never meet.
    net::TIdSocketHandle& binding = server.Bindings().Add();
    binding.SetIP(u"127.0.0.1");
    binding.SetPort(0);
  }
  ~HttpServerTest() override { server.SetActive(false); }

  void start() {
    server.SetActive(true);
    port = server.Bindings()[0].Port();
  }

  RawSocket connect() const { return RawConnect(net::Id_IPv4, port); }

  // Sends the bytes and returns the whole answer.
  std::string exchange(std::string_view request) const {
    RawSocket socket = connect();
    socket.Send(request);
    return ReadToClose(socket);
  }

  // Sends the bytes and half-closes; true when the server closed without writing anything.
  bool closedWithoutAnswer(std::string_view request) const {
    RawSocket socket = connect();
    try {
      socket.Send(request);
      socket.ShutdownWrite();
    } catch (const std::exception&) {
      return true;  // reset while sending: closed all the same
    }
    return ReadToClose(socket).empty();
  }

  TIdHTTPServer server;
  uint16_t port = 0;
};

// The answer split into status line, header lines and body.
struct ParsedAnswer {
  std::string statusLine;
  std::vector<std::string> headers;
  std::string body;
  bool complete = false;

  static ParsedAnswer From(const std::string& raw) {
    ParsedAnswer out;
    const size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return out;
    out.complete = true;
    out.body = raw.substr(end + 4);
    size_t start = 0;
    bool first = true;
    while (start < end) {
      size_t eol = raw.find("\r\n", start);
      if (eol == std::string::npos || eol > end) eol = end;
      const std::string line = raw.substr(start, eol - start);
      if (first) {
        out.statusLine = line;
        first = false;
      } else {
        out.headers.push_back(line);
      }
      start = eol + 2;
    }
    return out;
  }

  std::vector<std::string> headerNames() const {
    std::vector<std::string> names;
    for (const auto& h : headers) names.push_back(h.substr(0, h.find(':')));
    return names;
  }

  std::string header(std::string_view name) const {
    for (const auto& h : headers) {
      if (h.compare(0, name.size(), name) == 0 && h.size() > name.size() + 1 && h[name.size()] == ':')
        return h.substr(name.size() + 2);
    }
    return {};
  }
};

}  // namespace tessarine::server::testing
