#pragma once

// A TIdHTTPServer on 127.0.0.1 (port 0) and raw clients that send bytes and read the answer up to the
// server's close.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/server/http_server.h"
#include "support/raw_socket.h"

namespace tessarine::server::testing {

using test_support::kWaitLimit;
using test_support::LocalPort;
using test_support::RawSocket;
using test_support::WaitFor;

inline RawSocket RawConnect(net::TIdIPVersion ipVersion, uint16_t port) {
  return test_support::RawConnectTo(ipVersion == net::Id_IPv4 ? AF_INET : AF_INET6, port);
}

// A listener on the loopback or any-address of the family, as another program would hold a port; invalid
// when the port cannot be had.
inline RawSocket RawListen(int family, uint16_t port, bool loopback) {
  return test_support::RawListenOn(family, port, {.loopback = loopback, .backlog = 4, .likeAServer = true});
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
