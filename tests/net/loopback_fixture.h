#pragma once

// Loopback helpers for the socket and connection tests: a raw system socket as the peer, which a test drives
// byte by byte, and an I/O handler connected to it. Everything binds port 0 on 127.0.0.1 or ::1.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "net/io_handler_stack.h"
#include "support/raw_socket.h"

namespace tessarine::net::testing {

using test_support::kWaitLimit;
using test_support::PollIn;
using test_support::RawSocket;
using test_support::WaitFor;

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

inline RawSocket RawListen(TIdIPVersion ipVersion, uint16_t& port, int backlog = 16) {
  RawSocket socket = test_support::RawListenOn(ipVersion == Id_IPv4 ? AF_INET : AF_INET6, 0, {.backlog = backlog});
  if (!socket.Valid()) throw std::runtime_error("raw listen failed");
  port = test_support::LocalPort(socket);
  return socket;
}

inline RawSocket RawAccept(const RawSocket& listener) {
  if (!PollIn(listener.Fd(), kWaitLimit)) throw std::runtime_error("nothing to accept");
  return RawSocket(test_support::AcceptSocket(listener.Fd()));
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
