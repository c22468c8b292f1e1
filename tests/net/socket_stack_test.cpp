#include "net/socket_stack.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/text.h"
#include "loopback_fixture.h"
#include "net/exceptions.h"
#include "support/system_socket.h"

namespace tessarine::net {
namespace {

using testing::ExpectRaises;

class StackTest : public ::testing::Test {
 protected:
  TIdStack& stack() { return *GStack(); }
  TIdStackUsage m_usage;
};

void ExpectSocketError(int code, std::u16string_view message) {
  ExpectRaises<EIdSocketError>([&] { GStack()->RaiseSocketError(code); }, message);
}

TEST_F(StackTest, MessagesCarryCodeAndTableText) {
  ExpectSocketError(10054, u"Socket Error # 10054\r\nConnection reset by peer.");
  ExpectSocketError(10066, u"Socket Error # 10066\r\nDirectory not empty");
  ExpectSocketError(11001, u"Socket Error # 11001\r\nHost not found.");
  try {
    stack().RaiseSocketError(10060);
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10060);
  }
}

TEST_F(StackTest, CodeMissingFromTableHasEmptyText) {
  ExpectSocketError(12345, u"Socket Error # 12345\r\n");
  ExpectSocketError(11005, u"Socket Error # 11005\r\n");
}

TEST_F(StackTest, NotASocketHasItsOwnClass) {
  ExpectRaises<EIdNotASocket>([&] { stack().RaiseSocketError(10038); },
                              u"Socket Error # 10038\r\nSocket operation on non-socket.");
}

#ifndef _WIN32
// Windows Sockets reports the table's codes itself.
TEST(SocketErrorCodes, SystemCodesMapToTheTable) {
  EXPECT_EQ(WSErrorFromErrno(EWOULDBLOCK), 10035);
  EXPECT_EQ(WSErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WSErrorFromErrno(EPIPE), 10058);
  EXPECT_EQ(WSErrorFromErrno(ESHUTDOWN), 10058);
  EXPECT_EQ(WSErrorFromErrno(ENOTEMPTY), 10066);
  // Unknown codes stay below the table, so their text is empty.
  EXPECT_EQ(WSErrorFromErrno(ENOMEM), ENOMEM);
  EXPECT_EQ(WSErrorFromResolver(EAI_NONAME, 0), 11001);
  EXPECT_EQ(WSErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}
#endif

// Counts calls and answers from a script, so no look-up leaves the machine.
std::atomic<int> g_resolverCalls{0};
std::atomic<int> g_resolverAnswer{0};
std::string g_resolverName;

int ScriptedResolver(const std::string& name, int family, sockaddr_storage& address) {
  ++g_resolverCalls;
  g_resolverName = name;
  if (g_resolverAnswer != 0) return g_resolverAnswer;
  std::memset(&address, 0, sizeof(address));
  address.ss_family = static_cast<decltype(address.ss_family)>(family);
  if (family == AF_INET) {
    inet_pton(AF_INET, "192.0.2.7", &reinterpret_cast<sockaddr_in*>(&address)->sin_addr);
  } else {
    inet_pton(AF_INET6, "2001:db8::ab:cd", &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr);
  }
  return 0;
}

class ResolveTest : public StackTest {
 protected:
  void SetUp() override {
    g_resolverCalls = 0;
    g_resolverAnswer = 0;
    test_support::SystemStack::SetResolver(&ScriptedResolver);
  }
  void TearDown() override { test_support::SystemStack::SetResolver(nullptr); }
};

TEST_F(ResolveTest, LocalhostAndLiteralsNeverAskTheResolver) {
  EXPECT_EQ(stack().ResolveHost(u"LocalHost", Id_IPv4), u"127.0.0.1");
  EXPECT_EQ(stack().ResolveHost(u"LOCALHOST", Id_IPv6), u"::1");
  EXPECT_EQ(stack().ResolveHost(u"10.0.0.255"), u"10.0.0.255");
  EXPECT_EQ(stack().ResolveHost(u"2001:db8::ff00:42:8329", Id_IPv6), u"2001:DB8:0:0:0:FF00:42:8329");
  EXPECT_EQ(g_resolverCalls, 0);
}

TEST_F(ResolveTest, NamesGoToTheResolver) {
  EXPECT_EQ(stack().ResolveHost(u"example.test"), u"192.0.2.7");
  EXPECT_EQ(stack().ResolveHost(u"256.1.1.1"), u"192.0.2.7");
  EXPECT_EQ(stack().ResolveHost(u"example.test", Id_IPv6), u"2001:DB8:0:0:0:0:AB:CD");
  EXPECT_EQ(g_resolverCalls, 3);
}

TEST_F(ResolveTest, InternationalNamesReachTheResolverInAsciiForm) {
#ifndef _WIN32
  void* idn = dlopen("libidn2.so.0", RTLD_NOW | RTLD_LOCAL);
  if (idn == nullptr) GTEST_SKIP() << "no IDN conversion on this system";
  dlclose(idn);
#endif
  stack().HostByName(u"B\u00dccher.example");
  EXPECT_EQ(g_resolverName, "xn--bcher-kva.example");
  stack().HostByName(u"Plain-ASCII.test");
  EXPECT_EQ(g_resolverName, "Plain-ASCII.test");
}

TEST_F(ResolveTest, UnknownHostIsHostNotFound) {
  g_resolverAnswer = EAI_NONAME;
  ExpectRaises<EIdSocketError>([&] { stack().HostByName(u"no-such-host.test"); },
                               u"Socket Error # 11001\r\nHost not found.");
  // A NUL would shorten the name the resolver sees.
  EXPECT_THROW(stack().HostByName(std::u16string(u"good.test\0evil", 14)), EIdSocketError);
  EXPECT_EQ(g_resolverCalls, 1);
}

// Without a network the resolver says "try again" (EAI_AGAIN), the commonest failure of all: it has words too.
TEST_F(ResolveTest, TheResolversOtherFailuresSayWhatHappened) {
  g_resolverAnswer = EAI_AGAIN;
  ExpectRaises<EIdSocketError>([&] { stack().HostByName(u"translate.example"); },
                               u"Socket Error # 11002\r\nHost not found, try again later (no network?).");
  g_resolverAnswer = EAI_FAIL;
  ExpectRaises<EIdSocketError>([&] { stack().HostByName(u"translate.example"); },
                               u"Socket Error # 11003\r\nName server failure; the name cannot be resolved.");
  ExpectSocketError(11004, u"Socket Error # 11004\r\nHost name is valid, but has no address.");
}

TEST(AddressLiterals, IPv4NeedsFourDecimalPartsUpTo255) {
  EXPECT_TRUE(TIdStack::IsIPv4Literal(u"255.255.255.255"));
  for (const char16_t* text : {u"256.0.0.1", u"1.2.3", u"1.2.3.4.5", u"1..2.3", u"1.2.3.4.", u"a.b.c.d", u""})
    EXPECT_FALSE(TIdStack::IsIPv4Literal(text)) << ToUtf8(text);
}

TEST(AddressLiterals, IPv6HasEightUncompressedUpperCaseGroups) {
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"::"), u"0:0:0:0:0:0:0:0");
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"fe80::0abc:1"), u"FE80:0:0:0:0:0:ABC:1");
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"::ffff:1.2.3.4"), u"0:0:0:0:0:FFFF:102:304");
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(u"1.2.3.4"), u"");
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
  { TIdStackUsage again; }
  EXPECT_EQ(g_stacksCreated, 2);
  TIdStack::SetStackClass(&CreateDefaultStack);
}

TEST(StackUsage, UndefinedStackClassRaisesAndLeavesNoUsageBehind) {
  TIdStack::SetStackClass(nullptr);
  ExpectRaises<EIdException>([] { TIdStack::IncUsage(); }, u"Stack Class is undefined.");
  TIdStack::SetStackClass(&CreateDefaultStack);
  { TIdStackUsage usage; }
  EXPECT_EQ(GStack(), nullptr);
}

}  // namespace
}  // namespace tessarine::net
