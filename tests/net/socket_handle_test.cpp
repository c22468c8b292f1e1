#include "net/socket_handle.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#endif

#include <future>

#include "common/string_list.h"
#include "common/text.h"
#include "loopback_fixture.h"
#include "net/exceptions.h"
#include "net/socket_list.h"

namespace tessarine::net {
namespace {

using namespace std::chrono_literals;
using testing::ExpectRaises;
using testing::kWaitLimit;

std::unique_ptr<TIdSocketHandle> Listener(TIdIPVersion ipVersion = Id_IPv4) {
  auto handle = std::make_unique<TIdSocketHandle>();
  handle->SetIPVersion(ipVersion);
  handle->SetIP(ipVersion == Id_IPv4 ? u"127.0.0.1" : u"::1");
  handle->AllocateSocket();
  handle->Bind();
  handle->Listen(15);
  return handle;
}

std::unique_ptr<TIdSocketHandle> ConnectedClient(const TIdSocketHandle& listener) {
  auto client = std::make_unique<TIdSocketHandle>();
  client->SetIPVersion(listener.IPVersion());
  client->AllocateSocket();
  client->SetPeer(listener.IP(), listener.Port(), listener.IPVersion());
  client->Connect();
  return client;
}

// An allocated, unbound handle on 127.0.0.1.
std::unique_ptr<TIdSocketHandle> Unbound(uint16_t port = 0) {
  auto handle = std::make_unique<TIdSocketHandle>();
  handle->SetIP(u"127.0.0.1");
  handle->SetPort(port);
  handle->AllocateSocket();
  return handle;
}

int IntOption(const TIdSocketHandle& handle, int level, int name) {
  return test_support::GetIntSocketOption(handle.Handle(), level, name);
}

// Whether the descriptor is still an open socket of this process.
bool IsOpenSocket(int fd) {
#ifdef _WIN32
  return test_support::GetIntSocketOption(fd, SOL_SOCKET, SO_TYPE) == SOCK_STREAM;
#else
  return ::fcntl(fd, F_GETFD) != -1;
#endif
}

TEST(SocketBind, PortInUseWhateverTheSystemSaid) {
  auto first = Listener();
  auto second = Unbound(first->Port());
  ExpectRaises<EIdCouldNotBindSocket>([&] { second->Bind(); },
                                      u"Could not bind socket. Address and port are already in use.");
  auto malformed = Unbound();
  malformed->SetIP(u"not-an-address");
  EXPECT_THROW(malformed->Bind(), EIdCouldNotBindSocket);
}

TEST(SocketBind, ReuseOptionIsOnOnlyForRsTrue) {
  auto reused = Unbound();
  reused->SetReuseSocket(rsTrue);
  reused->Bind();
  EXPECT_EQ(IntOption(*reused, SOL_SOCKET, SO_REUSEADDR), 1);
  auto osDependent = Unbound();
  const int on = 1;
  test_support::SetSocketOption(osDependent->Handle(), SOL_SOCKET, SO_REUSEADDR, on);
  osDependent->Bind();
  EXPECT_EQ(IntOption(*osDependent, SOL_SOCKET, SO_REUSEADDR), 0);
}

TEST(SocketBind, PortRanges) {
  auto inverted = Unbound();
  inverted->SetClientPortMin(5000);
  inverted->SetClientPortMax(4000);
  ExpectRaises<EIdInvalidPortRange>([&] { inverted->Bind(); }, u"Invalid Port Range (5000 - 4000)");

  auto taken = Listener();
  const std::u16string port = IntToStr(taken->Port());
  auto exhausted = Unbound();
  exhausted->SetClientPortMin(taken->Port());
  exhausted->SetClientPortMax(taken->Port());
  ExpectRaises<EIdCanNotBindPortInRange>([&] { exhausted->Bind(); },
                                         u"Can not bind in port range (" + port + u" - " + port + u")");

  // Tried from the top down: the taken maximum is skipped.
  auto ranged = Unbound();
  ranged->SetClientPortMin(static_cast<uint16_t>(taken->Port() - 50));
  ranged->SetClientPortMax(taken->Port());
  ranged->Bind();
  EXPECT_LT(ranged->Port(), taken->Port());
  EXPECT_GE(ranged->Port(), taken->Port() - 50);
}

TEST(SocketConnect, AcceptReadsBothAddresses) {
  auto listener = Listener();
  auto client = ConnectedClient(*listener);
  TIdSocketHandle server;
  ASSERT_TRUE(server.Accept(*listener));
  EXPECT_EQ(server.PeerIP(), u"127.0.0.1");
  EXPECT_EQ(server.PeerPort(), client->Port());
  EXPECT_EQ(server.Port(), listener->Port());

  const std::vector<uint8_t> hello{'h', 'i', '!'};
  EXPECT_EQ(client->Send(hello, 1, 10), 2u);
  EXPECT_EQ(client->Send(hello, 3), 0u);
  std::vector<uint8_t> in(8);
  ASSERT_TRUE(server.Readable(5000));
  EXPECT_EQ(server.Receive(in), 2u);
  EXPECT_EQ(in[0], 'i');
}

TEST(SocketConnect, IPv6) {
  if (!testing::Ipv6LoopbackAvailable()) GTEST_SKIP() << "::1 not available";
  auto listener = Listener(Id_IPv6);
  EXPECT_EQ(listener->IP(), u"0:0:0:0:0:0:0:1");
  auto client = ConnectedClient(*listener);
  TIdSocketHandle server;
  ASSERT_TRUE(server.Accept(*listener));
  EXPECT_EQ(server.IPVersion(), Id_IPv6);
  EXPECT_EQ(server.PeerIP(), u"0:0:0:0:0:0:0:1");
  EXPECT_EQ(server.PeerPort(), client->Port());

  // IPv6 sockets stay apart from IPv4 ones, so both wildcard bindings of a server can share a port.
  TIdSocketHandle v4;
  v4.AllocateSocket();
  v4.Bind();
  TIdSocketHandle v6;
  v6.SetIPVersion(Id_IPv6);
  v6.SetPort(v4.Port());
  v6.AllocateSocket();
  EXPECT_NO_THROW(v6.Bind());
}

TEST(SocketConnect, RefusedConnection) {
  uint16_t port = Listener()->Port();
  TIdSocketHandle client;
  client.AllocateSocket();
  client.SetPeer(u"127.0.0.1", port);
  ExpectRaises<EIdSocketError>([&] { client.Connect(); }, u"Socket Error # 10061\r\nConnection refused.");
}

TEST(SocketConnect, UnspecifiedPeerAddressIsRefused) {
  // Linux would take the wildcard address for this host and reach the listener.
  auto listener = Listener();
  for (const char16_t* peer : {u"0.0.0.0", u""}) {
    TIdSocketHandle client;
    client.AllocateSocket();
    client.SetPeer(peer, listener->Port());
    ExpectRaises<EIdSocketError>([&] { client.Connect(); },
                                 u"Socket Error # 10049\r\nCannot assign requested address.");
  }
  if (!testing::Ipv6LoopbackAvailable()) return;
  auto listener6 = Listener(Id_IPv6);
  TIdSocketHandle client6;
  client6.SetIPVersion(Id_IPv6);
  client6.AllocateSocket();
  client6.SetPeer(u"::", listener6->Port(), Id_IPv6);
  EXPECT_THROW(client6.Connect(), EIdSocketError);
}

TEST(SocketState, IPVersionIsFixedWhileAllocated) {
  TIdSocketHandle handle;
  handle.AllocateSocket();
  ExpectRaises<EIdCannotSetIPVersionWhenConnected>([&] { handle.SetIPVersion(Id_IPv6); },
                                                   u"Cannot change IPVersion when connected");
  handle.CloseSocket();
  EXPECT_NO_THROW(handle.SetIPVersion(Id_IPv6));
}

TEST(SocketState, NagleIsTheNegatedNoDelayOption) {
  TIdSocketHandle handle;
  handle.AllocateSocket();
  EXPECT_EQ(handle.SocketType(), SOCK_STREAM);
  EXPECT_TRUE(handle.UseNagle());
  handle.SetUseNagle(false);
  EXPECT_EQ(IntOption(handle, IPPROTO_TCP, TCP_NODELAY), 1);
}

TEST(SocketState, CallsWithoutSocket) {
  TIdSocketHandle handle;
  EXPECT_EQ(handle.Handle(), -1);
  EXPECT_THROW(handle.Readable(0), EIdConnClosedGracefully);
  std::vector<uint8_t> buffer(4);
  EXPECT_THROW(handle.Receive(buffer), EIdNotASocket);
}

// Runs call on another thread, checks it blocks, closes the handle and expects call to end.
template <typename Call>
auto CloseWakes(TIdSocketHandle& handle, Call call) {
  auto blocked = std::async(std::launch::async, call);
  EXPECT_EQ(blocked.wait_for(30ms), std::future_status::timeout);
  handle.CloseSocket();
  EXPECT_EQ(blocked.wait_for(kWaitLimit), std::future_status::ready);
  return blocked.get();
}

TEST(SocketClose, CloseFromAnotherThreadWakesTheOwner) {
  auto listener = Listener();
  auto client = ConnectedClient(*listener);
  EXPECT_TRUE(CloseWakes(*client, [&] { return client->Readable(-1); }));

  client = ConnectedClient(*listener);
  EXPECT_EQ(CloseWakes(*client,
                       [&] {
                         std::vector<uint8_t> buffer(16);
                         return client->Receive(buffer);
                       }),
            0u);

  auto idle = Listener();
  TIdSocketHandle server;
  EXPECT_FALSE(CloseWakes(*idle, [&] { return server.Accept(*idle); }));
}

TEST(SocketClose, DescriptorStaysOpenWhileInUse) {
  TIdSocketHandle handle;
  handle.AllocateSocket();
  TIdSocketUse use = handle.Use();
  const int fd = use->Fd();
  handle.CloseSocket();
  EXPECT_FALSE(handle.HandleAllocated());
  EXPECT_TRUE(IsOpenSocket(fd));
  use.reset();
  EXPECT_FALSE(IsOpenSocket(fd));
}

TEST(SocketSend, ResetPeerIsAnErrorNotASignal) {
  auto listener = Listener();
  auto client = ConnectedClient(*listener);
  {
    TIdSocketHandle server;
    ASSERT_TRUE(server.Accept(*listener));
    const linger option{1, 0};
    test_support::SetSocketOption(server.Handle(), SOL_SOCKET, SO_LINGER, option);
  }
  const std::vector<uint8_t> bytes(4096, 'x');
  try {
    for (int i = 0; i < 1000; ++i) client->Send(bytes);
    FAIL() << "sending to a reset peer kept succeeding";
  } catch (const EIdSocketError& e) {
    EXPECT_TRUE(e.LastError() == 10054 || e.LastError() == 10058) << e.LastError();
  }
}

TEST(SocketCollections, HandlesTakeTheDefaultPort) {
  TIdSocketHandles handles(8888);
  EXPECT_EQ(handles.Add().Port(), 8888);
  EXPECT_THROW(handles.Items(1), EStringListError);
}

TEST(SocketCollections, ListHoldsAtMostSixtyFour) {
  TIdSocketList list;
  for (int fd = 100; fd < 164; ++fd) list.Add(fd);
  list.Add(100);
  ExpectRaises<EIdStackSetSizeExceeded>([&] { list.Add(164); }, u"Set Size Exceeded.");
  list.Remove(100);
  EXPECT_NO_THROW(list.Add(164));
}

}  // namespace
}  // namespace tessarine::net
