// The pool of upstream clients against a scripted loopback peer: calls overlap on connections of their own up to
// the bound and no further, a lone caller keeps one client and its connection, and Abort ends every call, the
// waiting ones included, until ResumeCalls.

#include "net/client/upstream_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

#include "common/text.h"
#include "net/exceptions.h"
#include "support/scripted_server.h"

namespace tessarine::client {
namespace {

using namespace std::chrono_literals;
using test_support::ScriptedServer;
using test_support::WaitFor;

std::u16string UrlOf(const ScriptedServer& server) {
  return FromUtf8("http://127.0.0.1:" + std::to_string(server.Port()) + "/t");
}

const char kReply[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok";

// One call through a client of the pool, counting the clients taken at once.
class Caller {
 public:
  explicit Caller(TUpstreamPool& pool) : m_pool(pool) {}

  std::u16string Get(const std::u16string& url) {
    translate::IUpstreamClient& client = m_pool.Take();
    const int now = ++m_taken;
    for (int most = m_most.load(); now > most && !m_most.compare_exchange_weak(most, now);) {
    }
    struct GiveBack {
      Caller& caller;
      translate::IUpstreamClient& client;
      ~GiveBack() {
        --caller.m_taken;
        caller.m_pool.GiveBack(client);
      }
    } giveBack{*this, client};
    return client.Get(url);
  }
  int MostAtOnce() const { return m_most.load(); }

 private:
  TUpstreamPool& m_pool;
  std::atomic<int> m_taken{0};
  std::atomic<int> m_most{0};
};

TEST(UpstreamPool, CallsOverlapOnConnectionsOfTheirOwnUpToTheBound) {
  TUpstreamPool pool(2);
  Caller caller(pool);
  ScriptedServer server;
  for (int i = 0; i < 4; ++i) server.Push(ScriptedServer::Reply{.Bytes = kReply, .Delay = 500ms});

  std::vector<std::future<std::u16string>> calls;
  for (int i = 0; i < 4; ++i)
    calls.push_back(std::async(std::launch::async, [&] { return caller.Get(UrlOf(server)); }));
  ASSERT_TRUE(server.WaitForRequests(2));
  EXPECT_EQ(server.Sent(), 0) << "the second request reached the peer while the first was unanswered";
  for (auto& call : calls) EXPECT_EQ(call.get(), u"ok");

  EXPECT_EQ(caller.MostAtOnce(), 2);
  EXPECT_EQ(pool.Made(), 2u);
  EXPECT_EQ(server.Connections(), 2) << "each client kept its connection for its next call";
}

TEST(UpstreamPool, ALoneCallerKeepsOneClientAndEachIsConfiguredBeforeItsFirstCall) {
  int configured = 0;
  TUpstreamPool pool(4, [&](TIdHTTP& client) {
    ++configured;
    client.SetReadTimeout(200);
  });
  Caller caller(pool);
  ScriptedServer server;
  for (int i = 0; i < 3; ++i) server.Push(kReply);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(caller.Get(UrlOf(server)), u"ok");
  EXPECT_EQ(pool.Made(), 1u);
  EXPECT_EQ(configured, 1);
  EXPECT_EQ(server.Connections(), 1);

  server.Push(ScriptedServer::Reply{.Bytes = {}, .Stall = true});
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_THROW(caller.Get(UrlOf(server)), net::EIdReadTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

TEST(UpstreamPool, AbortEndsRunningAndWaitingCallsAndRefusesUntilResumed) {
  TUpstreamPool pool(2);
  Caller caller(pool);
  ScriptedServer server;
  for (int i = 0; i < 2; ++i) server.Push(ScriptedServer::Reply{.Bytes = {}, .Stall = true});

  std::vector<std::future<std::u16string>> calls;
  for (int i = 0; i < 4; ++i)
    calls.push_back(std::async(std::launch::async, [&] { return caller.Get(UrlOf(server)); }));
  ASSERT_TRUE(server.WaitForRequests(2));
  ASSERT_TRUE(WaitFor([&] { return pool.Waiting() == 2; }));

  const auto begin = std::chrono::steady_clock::now();
  pool.Abort();
  EXPECT_TRUE(pool.CallsStopped());
  for (auto& call : calls) EXPECT_THROW(call.get(), EIdException);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_EQ(server.Requests().size(), 2u) << "the waiting callers sent nothing";
  EXPECT_THROW(pool.Take(), net::EIdClosedSocket);

  pool.ResumeCalls();
  EXPECT_FALSE(pool.CallsStopped());
  server.Push(kReply);
  server.Push(kReply);
  EXPECT_EQ(caller.Get(UrlOf(server)), u"ok");
  EXPECT_EQ(caller.Get(UrlOf(server)), u"ok");
  EXPECT_EQ(pool.Made(), 2u);
}

}  // namespace
}  // namespace tessarine::client
