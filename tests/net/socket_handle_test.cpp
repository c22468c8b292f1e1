#include "net/socket_handle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <future>
#include <thread>

#include "common/string_list.h"
#include "common/text.h"
#include "loopback_fixture.h"
#include "net/exceptions.h"
#include "net/socket_list.h"

namespace tessarine::net {
namespace {

using namespace std::chrono_literals;
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

int IntOption(const TIdSocketHandle& handle, int level, int name) {
  int value = -1;
  socklen_t length = sizeof(value);
  ::getsockopt(handle.Handle(), level, name, &value, &length);
  return value;
}

TEST(SocketBind, SecondBindToAListeningPortFails) {
  auto first = Listener();
  TIdSocketHandle second;
  second.SetIP(u"127.0.0.1");
  second.SetPort(first->Port());
  second.AllocateSocket();
  try {
    second.Bind();
    FAIL() << "no exception";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_EQ(e.Message(), u"Could not bind socket. Address and port are already in use.");
  }
}

TEST(SocketBind, AnyFailureReadsAsAddressInUse) {
  TIdSocketHandle handle;
  handle.SetIP(u"not-an-address");
  handle.AllocateSocket();
  EXPECT_THROW(handle.Bind(), EIdCouldNotBindSocket);
}

TEST(SocketBind, PortZeroIsReadBack) {
  auto listener = Listener();
  EXPECT_NE(listener->Port(), 0);
  EXPECT_EQ(listener->IP(), u"127.0.0.1");
}

TEST(SocketBind, ReuseOptionFollowsReuseSocket) {
  TIdSocketHandle handle;
  handle.SetIP(u"127.0.0.1");
  handle.AllocateSocket();
  handle.SetReuseSocket(rsTrue);
  handle.Bind();
  EXPECT_EQ(IntOption(handle, SOL_SOCKET, SO_REUSEADDR), 1);

  TIdSocketHandle other;
  other.SetIP(u"127.0.0.1");
  other.AllocateSocket();
  const int on = 1;
  ::setsockopt(other.Handle(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  other.SetReuseSocket(rsOSDependent);
  other.Bind();
  EXPECT_EQ(IntOption(other, SOL_SOCKET, SO_REUSEADDR), 0);
}

TEST(SocketBind, InvertedPortRangeNamesMinimumFirst) {
  TIdSocketHandle handle;
  handle.SetClientPortMin(5000);
  handle.SetClientPortMax(4000);
  handle.AllocateSocket();
  try {
    handle.Bind();
    FAIL() << "no exception";
  } catch (const EIdInvalidPortRange& e) {
    EXPECT_EQ(e.Message(), u"Invalid Port Range (5000 - 4000)");
  }
}

TEST(SocketBind, ExhaustedPortRange) {
  auto taken = Listener();
  TIdSocketHandle handle;
  handle.SetIP(u"127.0.0.1");
  handle.SetClientPortMin(taken->Port());
  handle.SetClientPortMax(taken->Port());
  handle.AllocateSocket();
  try {
    handle.Bind();
    FAIL() << "no exception";
  } catch (const EIdCanNotBindPortInRange& e) {
    const std::u16string port = IntToStr(taken->Port());
    EXPECT_EQ(e.Message(), u"Can not bind in port range (" + port + u" - " + port + u")");
  }
}

TEST(SocketBind, PortRangeIsTriedFromTheTop) {
  auto taken = Listener();
  TIdSocketHandle handle;
  handle.SetIP(u"127.0.0.1");
  handle.SetClientPortMin(static_cast<uint16_t>(taken->Port() - 50));
  handle.SetClientPortMax(taken->Port());
  handle.AllocateSocket();
  handle.Bind();
  EXPECT_LT(handle.Port(), taken->Port());
  EXPECT_GE(handle.Port(), taken->Port() - 50);
}

TEST(SocketConnect, AcceptReadsBothAddresses) {
  auto listener = Listener();
  auto client = ConnectedClient(*listener);
  TIdSocketHandle server;
  ASSERT_TRUE(server.Accept(*listener));
  EXPECT_EQ(server.PeerIP(), u"127.0.0.1");
  EXPECT_EQ(server.PeerPort(), client->Port());
  EXPECT_EQ(server.Port(), listener->Port());
  EXPECT_EQ(client->PeerPort(), listener->Port());

  const std::vector<uint8_t> hello{'h', 'i', '!'};
  EXPECT_EQ(client->Send(hello, 1, 10), 2u);
  std::vector<uint8_t> in(8);
  ASSERT_TRUE(server.Readable(5000));
  EXPECT_EQ(server.Receive(in), 2u);
  EXPECT_EQ(in[0], 'i');
  EXPECT_EQ(client->Send(hello, 3), 0u);
}

TEST(SocketConnect, IPv6AddressesUseEightGroups) {
  if (!testing::Ipv6LoopbackAvailable()) GTEST_SKIP() << "::1 not available";
  auto listener = Listener(Id_IPv6);
  EXPECT_EQ(listener->IP(), u"0:0:0:0:0:0:0:1");
  auto client = ConnectedClient(*listener);
  TIdSocketHandle server;
  ASSERT_TRUE(server.Accept(*listener));
  EXPECT_EQ(server.IPVersion(), Id_IPv6);
  EXPECT_EQ(server.PeerIP(), u"0:0:0:0:0:0:0:1");
  EXPECT_EQ(server.PeerPort(), client->Port());
}

TEST(SocketConnect, IPv6SocketLeavesTheIPv4PortFree) {
  if (!testing::Ipv6LoopbackAvailable()) GTEST_SKIP() << "IPv6 not available";
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
  uint16_t port = 0;
  {
    auto closed = Listener();
    port = closed->Port();
  }
  TIdSocketHandle client;
  client.AllocateSocket();
  client.SetPeer(u"127.0.0.1", port);
  try {
    client.Connect();
    FAIL() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10061);
    EXPECT_EQ(e.Message(), u"Socket Error # 10061\r\nConnection refused.");
  }
}

TEST(SocketState, IPVersionIsFixedWhileAllocated) {
  TIdSocketHandle handle;
  handle.AllocateSocket();
  try {
    handle.SetIPVersion(Id_IPv6);
    FAIL() << "no exception";
  } catch (const EIdCannotSetIPVersionWhenConnected& e) {
    EXPECT_EQ(e.Message(), u"Cannot change IPVersion when connected");
  }
  handle.CloseSocket();
  EXPECT_NO_THROW(handle.SetIPVersion(Id_IPv6));
}

TEST(SocketState, NagleFollowsTheNoDelayOption) {
  TIdSocketHandle handle;
  handle.AllocateSocket();
  EXPECT_EQ(handle.SocketType(), SOCK_STREAM);
  EXPECT_TRUE(handle.UseNagle());
  handle.SetUseNagle(false);
  EXPECT_EQ(IntOption(handle, IPPROTO_TCP, TCP_NODELAY), 1);
  handle.SetUseNagle(true);
  EXPECT_EQ(IntOption(handle, IPPROTO_TCP, TCP_NODELAY), 0);
}

TEST(SocketState, CallsWithoutSocket) {
  TIdSocketHandle handle;
  EXPECT_FALSE(handle.HandleAllocated());
  EXPECT_EQ(handle.Handle(), -1);
  EXPECT_THROW(handle.Readable(0), EIdConnClosedGracefully);
  std::vector<uint8_t> buffer(4);
  try {
    handle.Receive(buffer);
    FAIL() << "no exception";
  } catch (const EIdNotASocket& e) {
    EXPECT_EQ(e.LastError(), 10038);
  }
}

TEST(SocketState, ResetClearsAddresses) {
  auto listener = Listener();
  auto client = ConnectedClient(*listener);
  client->Reset(false);
  EXPECT_FALSE(client->HandleAllocated());
  EXPECT_TRUE(client->PeerIP().empty());
  EXPECT_EQ(client->IP(), u"127.0.0.1");
  client->Reset();
  EXPECT_TRUE(client->IP().empty());
  EXPECT_EQ(client->Port(), 0);
}

TEST(SocketClose, CloseFromAnotherThreadWakesReadable) {
  auto listener = Listener();
  auto client = ConnectedClient(*listener);
  auto waiting = std::async(std::launch::async, [&] { return client->Readable(-1); });
  EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
  client->CloseSocket();
  ASSERT_EQ(waiting.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
}

TEST(SocketClose, CloseFromAnotherThreadWakesReceive) {
  auto listener = Listener();
  auto client = ConnectedClient(*listener);
  auto receiving = std::async(std::launch::async, [&] {
    std::vector<uint8_t> buffer(16);
    return client->Receive(buffer);
  });
  EXPECT_EQ(receiving.wait_for(50ms), std::future_status::timeout);
  client->CloseSocket();
  ASSERT_EQ(receiving.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_EQ(receiving.get(), 0u);
}

TEST(SocketClose, CloseFromAnotherThreadWakesAccept) {
  auto listener = Listener();
  auto accepting = std::async(std::launch::async, [&] {
    TIdSocketHandle server;
    return server.Accept(*listener);
  });
  EXPECT_EQ(accepting.wait_for(50ms), std::future_status::timeout);
  listener->CloseSocket();
  ASSERT_EQ(accepting.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_FALSE(accepting.get());
}

TEST(SocketClose, DescriptorStaysOpenWhileInUse) {
  TIdSocketHandle handle;
  handle.AllocateSocket();
  TIdSocketUse use = handle.Use();
  const int fd = use->Fd();
  handle.CloseSocket();
  EXPECT_FALSE(handle.HandleAllocated());
  EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  use.reset();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST(SocketSend, ClosedPeerIsAnErrorNotASignal) {
  auto listener = Listener();
  auto client = ConnectedClient(*listener);
  {
    TIdSocketHandle server;
    ASSERT_TRUE(server.Accept(*listener));
    linger option{1, 0};
    ::setsockopt(server.Handle(), SOL_SOCKET, SO_LINGER, &option, sizeof(option));
  }
  const std::vector<uint8_t> bytes(4096, 'x');
  try {
    for (int i = 0; i < 1000; ++i) client->Send(bytes);
    FAIL() << "sending to a reset peer kept succeeding";
  } catch (const EIdSocketError& e) {
    EXPECT_TRUE(e.LastError() == 10054 || e.LastError() == 10058) << e.LastError();
  }
}

TEST(SocketHandles, AddTakesTheDefaultPort) {
  TIdSocketHandles handles(8888);
  TIdSocketHandle& first = handles.Add();
  EXPECT_EQ(first.Port(), 8888);
  handles.SetDefaultPort(80);
  EXPECT_EQ(handles.Add().Port(), 80);
  EXPECT_EQ(handles.Count(), 2);
  EXPECT_EQ(&handles[0], &first);
  EXPECT_THROW(handles.Items(2), EStringListError);
  handles.Delete(0);
  EXPECT_EQ(handles[0].Port(), 80);
}

TEST(SocketListLimit, SixtyFifthSocketRaises) {
  TIdSocketList list;
  for (int fd = 100; fd < 164; ++fd) list.Add(fd);
  list.Add(100);
  EXPECT_EQ(list.Count(), 64);
  try {
    list.Add(164);
    FAIL() << "no exception";
  } catch (const EIdStackSetSizeExceeded& e) {
    EXPECT_EQ(e.Message(), u"Set Size Exceeded.");
  }
  list.Remove(100);
  EXPECT_NO_THROW(list.Add(164));
}

TEST(SocketListLimit, SelectReportsReadableSockets) {
  auto listener = Listener();
  auto client = ConnectedClient(*listener);
  TIdSocketHandle server;
  ASSERT_TRUE(server.Accept(*listener));
  TIdSocketList list;
  list.Add(server.Handle());
  list.Add(listener->Handle());
  EXPECT_FALSE(list.SelectRead(0));
  client->Send(std::vector<uint8_t>{'x'});
  TIdSocketList readable;
  ASSERT_TRUE(list.SelectReadList(readable, 5000));
  EXPECT_EQ(readable.Count(), 1);
  EXPECT_TRUE(readable.Contains(server.Handle()));
}

}  // namespace
}  // namespace tessarine::net
