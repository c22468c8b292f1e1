#include "net/socket_stack.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/text.h"
#include "net/exceptions.h"
#include "net/socket_stack_posix.h"

namespace tessarine::net {
namespace {

class StackTest : public ::testing::Test {
 protected:
  TIdStack& stack() { return *GStack(); }
  TIdStackUsage m_usage;
};

std::u16string ErrorMessage(int code) {
  try {
    GStack()->RaiseSocketError(code);
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), code);
    return e.Message();
  }
  return u"(not raised)";
}

TEST_F(StackTest, MessagesCarryCodeAndTableText) {
  EXPECT_EQ(ErrorMessage(10054), u"Socket Error # 10054\r\nConnection reset by peer.");
  EXPECT_EQ(ErrorMessage(10048), u"Socket Error # 10048\r\nAddress already in use.");
  EXPECT_EQ(ErrorMessage(10066), u"Socket Error # 10066\r\nDirectory not empty");
  EXPECT_EQ(ErrorMessage(11001), u"Socket Error # 11001\r\nHost not found.");
}

TEST_F(StackTest, CodeMissingFromTableHasEmptyText) {
  EXPECT_EQ(ErrorMessage(12345), u"Socket Error # 12345\r\n");
  EXPECT_EQ(ErrorMessage(0), u"Socket Error # 0\r\n");
  EXPECT_EQ(ErrorMessage(11002), u"Socket Error # 11002\r\n");
}

TEST_F(StackTest, NotASocketHasItsOwnClass) {
  EXPECT_THROW(stack().RaiseSocketError(10038), EIdNotASocket);
  EXPECT_EQ(ErrorMessage(10038), u"Socket Error # 10038\r\nSocket operation on non-socket.");
}

TEST(SocketErrorCodes, ErrnoMapsToWindowsCodes) {
  EXPECT_EQ(WSErrorFromErrno(EINTR), 10004);
  EXPECT_EQ(WSErrorFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WSErrorFromErrno(EWOULDBLOCK), 10035);
  EXPECT_EQ(WSErrorFromErrno(ENOTSOCK), 10038);
  EXPECT_EQ(WSErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WSErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WSErrorFromErrno(EPIPE), 10058);
  EXPECT_EQ(WSErrorFromErrno(ESHUTDOWN), 10058);
  EXPECT_EQ(WSErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WSErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WSErrorFromErrno(ENOTEMPTY), 10066);
}

TEST(SocketErrorCodes, UnknownErrnoStaysOutsideTheTable) {
  const int code = WSErrorFromErrno(ENOMEM);
  EXPECT_EQ(code, ENOMEM);
  EXPECT_LT(code, 10004);
}

TEST(SocketErrorCodes, ResolverFailures) {
  EXPECT_EQ(WSErrorFromResolver(EAI_NONAME, 0), 11001);
  EXPECT_EQ(WSErrorFromResolver(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(WSErrorFromResolver(EAI_FAIL, 0), 11003);
  EXPECT_EQ(WSErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

// Test resolver: counts calls and answers from a fixed script.
std::atomic<int> g_resolverCalls{0};
std::atomic<int> g_resolverAnswer{0};

int ScriptedResolver(const std::string&, int family, sockaddr_storage& address) {
  ++g_resolverCalls;
  if (g_resolverAnswer != 0) return g_resolverAnswer;
  std::memset(&address, 0, sizeof(address));
  if (family == AF_INET) {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.7", &in4->sin_addr);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::ab:cd", &in6->sin6_addr);
  }
  return 0;
}

class ResolveTest : public StackTest {
 protected:
  void SetUp() override {
    g_resolverCalls = 0;
    g_resolverAnswer = 0;
    TIdStackPosix::SetResolver(&ScriptedResolver);
  }
  void TearDown() override { TIdStackPosix::SetResolver(nullptr); }
};

TEST_F(ResolveTest, LocalhostInAnyCaseNeverAsksTheResolver) {
  EXPECT_EQ(stack().ResolveHost(u"localhost"), u"127.0.0.1");
  EXPECT_EQ(stack().ResolveHost(u"LocalHost", Id_IPv4), u"127.0.0.1");
  EXPECT_EQ(stack().ResolveHost(u"LOCALHOST", Id_IPv6), u"::1");
  EXPECT_EQ(g_resolverCalls, 0);
}

TEST_F(ResolveTest, LiteralsAreAnsweredDirectly) {
  EXPECT_EQ(stack().ResolveHost(u"10.0.0.255"), u"10.0.0.255");
  EXPECT_EQ(stack().ResolveHost(u"::1", Id_IPv6), u"0:0:0:0:0:0:0:1");
  EXPECT_EQ(stack().ResolveHost(u"2001:db8::ff00:42:8329", Id_IPv6), u"2001:DB8:0:0:0:FF00:42:8329");
  EXPECT_EQ(g_resolverCalls, 0);
}

TEST_F(ResolveTest, NamesAndNonLiteralsGoToTheResolver) {
  EXPECT_EQ(stack().ResolveHost(u"example.test"), u"192.0.2.7");
  EXPECT_EQ(stack().ResolveHost(u"256.1.1.1"), u"192.0.2.7");
  EXPECT_EQ(stack().ResolveHost(u"example.test", Id_IPv6), u"2001:DB8:0:0:0:0:AB:CD");
  EXPECT_EQ(g_resolverCalls, 3);
}

TEST_F(ResolveTest, UnknownHostIsHostNotFound) {
  g_resolverAnswer = EAI_NONAME;
  try {
    stack().HostByName(u"no-such-host.test");
    FAIL() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 11001);
    EXPECT_EQ(e.Message(), u"Socket Error # 11001\r\nHost not found.");
  }
}

TEST_F(ResolveTest, EmbeddedNulIsNeverPassedOn) {
  EXPECT_THROW(stack().HostByName(std::u16string(u"good.test\0evil", 14)), EIdSocketError);
  EXPECT_EQ(g_resolverCalls, 0);
}

TEST(AddressLiterals, IPv4NeedsFourDecimalPartsUpTo255) {
  EXPECT_TRUE(TIdStack::IsIPv4Literal(u"0.0.0.0"));
  EXPECT_TRUE(TIdStack::IsIPv4Literal(u"255.255.255.255"));
  EXPECT_FALSE(TIdStack::IsIPv4Literal(u"256.0.0.1"));
  EXPECT_FALSE(TIdStack::IsIPv4Literal(u"1.2.3"));
  EXPECT_FALSE(TIdStack::IsIPv4Literal(u"1.2.3.4.5"));
  EXPECT_FALSE(TIdStack::IsIPv4Literal(u"1..2.3"));
  EXPECT_FALSE(TIdStack::IsIPv4Literal(u"1.2.3.4."));
  EXPECT_FALSE(TIdStack::IsIPv4Literal(u"a.b.c.d"));
  EXPECT_FALSE(TIdStack::IsIPv4Literal(u""));
}

TEST(AddressLiterals, IPv6CanonicalFormHasEightUncompressedGroups) {
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"::"), u"0:0:0:0:0:0:0:0");
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"fe80::0abc:1"), u"FE80:0:0:0:0:0:ABC:1");
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"::ffff:1.2.3.4"), u"0:0:0:0:0:FFFF:102:304");
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"1.2.3.4"), u"");
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"::g"), u"");
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"\u00e9::1"), u"");
}

std::atomic<int> g_stacksCreated{0};

std::unique_ptr<TIdStack> CountingStackClass() {
  ++g_stacksCreated;
  return CreateDefaultStack();
}

TEST(StackUsage, InstanceLivesExactlyWhileUsed) {
  ASSERT_EQ(GStack(), nullptr);
  TIdStack::SetStackClass(&CountingStackClass);
  {
    TIdStackUsage first;
    TIdStackUsage second;
    EXPECT_NE(GStack(), nullptr);
  }
  EXPECT_EQ(GStack(), nullptr);
  {
    TIdStackUsage again;
    EXPECT_NE(GStack(), nullptr);
  }
  EXPECT_EQ(g_stacksCreated, 2);
  TIdStack::SetStackClass(&CreateDefaultStack);
}

TEST(StackUsage, UndefinedStackClassRaisesAndLeavesNoUsageBehind) {
  ASSERT_EQ(GStack(), nullptr);
  TIdStack::SetStackClass(nullptr);
  try {
    TIdStack::IncUsage();
    FAIL() << "no exception";
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), u"Stack Class is undefined.");
  }
  TIdStack::SetStackClass(&CreateDefaultStack);
  {
    TIdStackUsage usage;
    EXPECT_NE(GStack(), nullptr);
  }
  EXPECT_EQ(GStack(), nullptr);
}

TEST_F(StackTest, SupportsIPv6MatchesTheSystem) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  EXPECT_EQ(stack().SupportsIPv6(), fd >= 0);
  if (fd >= 0) ::close(fd);
}

}  // namespace
}  // namespace tessarine::net
