#include "net/tcp_connection.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "loopback_fixture.h"
#include "net/exceptions.h"
#include "net/io_handler_stack.h"

namespace tessarine::net {
namespace {

using namespace std::chrono_literals;
using testing::ExpectRaises;
using testing::kWaitLimit;
using testing::RawAccept;
using testing::RawListen;
using testing::RawSocket;

std::unique_ptr<TIdIOHandlerStack> ClientTo(std::u16string host, uint16_t port, int connectTimeout = 0) {
  auto handler = std::make_unique<TIdIOHandlerStack>();
  handler->SetHost(std::move(host));
  handler->SetPort(port);
  handler->SetConnectTimeout(connectTimeout);
  return handler;
}

uint16_t ClosedPort() {
  uint16_t port = 0;
  RawListen(Id_IPv4, port);
  return port;
}

// A listener whose accept queue is full: further SYNs are dropped, so a connect hangs.
struct SaturatedListener {
  uint16_t port = 0;
  RawSocket listener{RawListen(Id_IPv4, port, 0)};
  std::vector<std::unique_ptr<TIdIOHandlerStack>> queued;

  // Connects with a short limit until one connect runs out; false if none did.
  bool Fill() {
    for (int attempt = 0; attempt < 16; ++attempt) {
      auto handler = ClientTo(u"127.0.0.1", port, 300);
      try {
        handler->Open();
        queued.push_back(std::move(handler));
      } catch (const EIdConnectTimeout&) {
        return true;
      }
    }
    return false;
  }
};

TEST(ClientConnect, HostNameAndPort) {
  uint16_t port = 0;
  RawSocket listener = RawListen(Id_IPv4, port);
  auto handler = ClientTo(u"LocalHost", port);
  handler->Open();
  RawSocket peer = RawAccept(listener);
  EXPECT_EQ(handler->Binding()->PeerIP(), u"127.0.0.1");
  EXPECT_EQ(handler->Binding()->PeerPort(), port);
  handler->WriteLn(u"ping");
  EXPECT_EQ(peer.Receive(6), "ping\r\n");
}

TEST(ClientConnect, IPv6Literal) {
  if (!testing::Ipv6LoopbackAvailable()) GTEST_SKIP() << "::1 not available";
  auto pair = testing::LoopbackPair::Connect(Id_IPv6);
  EXPECT_EQ(pair.handler->Binding()->PeerIP(), u"0:0:0:0:0:0:0:1");
  pair.peer.Send("pong\n");
  EXPECT_EQ(pair.handler->ReadLn(), u"pong");
}

TEST(ClientConnect, LocalBindingWishesAreApplied) {
  uint16_t port = 0;
  RawSocket listener = RawListen(Id_IPv4, port);
  auto handler = ClientTo(u"127.0.0.1", port);
  handler->SetBoundIP(u"127.0.0.1");
  handler->SetBoundPortMin(static_cast<uint16_t>(port - 40));
  handler->SetBoundPortMax(static_cast<uint16_t>(port - 1));
  handler->SetUseNagle(false);
  int events = 0;
  handler->SetOnBeforeBind([&] { events = events * 10 + 1; });
  handler->SetOnSocketAllocated([&] { events = events * 10 + 2; });
  handler->SetOnAfterBind([&] { events = events * 10 + 3; });
  handler->Open();
  EXPECT_EQ(events, 123);
  EXPECT_GE(handler->Binding()->Port(), port - 40);
  EXPECT_LT(handler->Binding()->Port(), port);
  EXPECT_FALSE(handler->Binding()->UseNagle());
}

TEST(ClientConnect, RefusedWithAndWithoutTimeout) {
  for (int timeout : {0, 2000}) {
    auto handler = ClientTo(u"127.0.0.1", ClosedPort(), timeout);
    ExpectRaises<EIdSocketError>([&] { handler->Open(); }, u"Socket Error # 10061\r\nConnection refused.");
    EXPECT_FALSE(handler->Opened());
    EXPECT_FALSE(handler->Binding()->HandleAllocated());
  }
}

TEST(ClientConnect, PortOutOfRangeIsRefusedLocally) {
  auto handler = ClientTo(u"127.0.0.1", 0);
  handler->SetPort(65536 + 80);
  EXPECT_THROW(handler->Open(), EIdSocketError);
}

TEST(ClientConnect, TimedConnectRunsOut) {
  SaturatedListener target;
  ASSERT_TRUE(target.Fill());
  auto handler = ClientTo(u"127.0.0.1", target.port, 200);
  const auto start = std::chrono::steady_clock::now();
  ExpectRaises<EIdConnectTimeout>([&] { handler->Open(); }, u"Connect timed out.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);
  EXPECT_FALSE(handler->Opened());
  EXPECT_FALSE(handler->Binding()->HandleAllocated());
}

TEST(ClientConnect, CloseFromAnotherThreadEndsAnUnlimitedConnect) {
  SaturatedListener target;
  ASSERT_TRUE(target.Fill());
  auto handler = ClientTo(u"127.0.0.1", target.port, 0);
  std::promise<void> bound;
  handler->SetOnAfterBind([&] { bound.set_value(); });
  auto connecting = std::async(std::launch::async, [&] { handler->Open(); });
  bound.get_future().wait();
  EXPECT_EQ(connecting.wait_for(50ms), std::future_status::timeout);
  handler->Close();
  ASSERT_EQ(connecting.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_THROW(connecting.get(), EIdException);
}

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_listener = RawListen(Id_IPv4, m_port);
    m_connection.CreateIOHandler();
    m_connection.IOHandler()->SetHost(u"127.0.0.1");
    m_connection.IOHandler()->SetPort(m_port);
  }

  uint16_t m_port = 0;
  RawSocket m_listener;
  TIdTCPConnection m_connection;
};

TEST_F(ConnectionTest, DisconnectClosesAndNotifiesOnce) {
  EXPECT_TRUE(m_connection.ManagedIOHandler());
  ASSERT_NE(m_connection.Socket(), nullptr);
  int disconnected = 0;
  m_connection.SetOnDisconnected([&] { ++disconnected; });
  m_connection.IOHandler()->Open();
  RawSocket peer = RawAccept(m_listener);
  EXPECT_TRUE(m_connection.Connected());
  m_connection.Disconnect();
  EXPECT_FALSE(m_connection.Connected());
  EXPECT_EQ(peer.Receive(1), "");
  m_connection.Disconnect();
  EXPECT_EQ(disconnected, 1);
}

TEST_F(ConnectionTest, DisconnectIgnoresAResetPeer) {
  m_connection.IOHandler()->Open();
  RawAccept(m_listener).Reset();
  ASSERT_TRUE(testing::WaitFor([&] { return m_connection.Socket()->Binding()->Readable(0); }));
  EXPECT_NO_THROW(m_connection.Disconnect());
  EXPECT_FALSE(m_connection.IOHandler()->Opened());
}

TEST_F(ConnectionTest, UnmanagedHandlerOutlivesTheConnection) {
  TIdIOHandlerStack handler;
  {
    TIdTCPConnection connection;
    connection.SetIOHandler(&handler);
    EXPECT_FALSE(connection.ManagedIOHandler());
    handler.SetHost(u"127.0.0.1");
    handler.SetPort(m_port);
    handler.Open();
  }
  EXPECT_FALSE(handler.Opened());
}

}  // namespace
}  // namespace tessarine::net
