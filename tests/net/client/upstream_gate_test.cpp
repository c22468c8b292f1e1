// The gate in front of the upstream client and the pool: switching off ends the calls engines hold, and the
// clients work again once the gate reopens.

#include "net/client/upstream_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "common/text.h"
#include "net/client/http_client.h"
#include "net/client/upstream_pool.h"
#include "net/exceptions.h"
#include "support/scripted_server.h"

namespace tessarine::client {
namespace {

using namespace std::chrono_literals;
using test_support::ScriptedServer;

std::u16string UrlOf(const ScriptedServer& server) {
  return FromUtf8("http://127.0.0.1:" + std::to_string(server.Port()) + "/t");
}

const char kReply[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok";

TEST(UpstreamGateTest, SwitchingOffEndsAStalledCallAndTheClientWorksAfterwards) {
  TIdHTTP http;
  TUpstreamGate gate(
      http, [&] { http.Abort(); }, [&] { http.ResumeCalls(); });
  ScriptedServer silent;
  silent.Push(ScriptedServer::Reply{.Bytes = {}, .Close = false, .Stall = true, .StallAfter = false});

  std::atomic<bool> started = false;
  auto call = std::async(std::launch::async, [&] {
    started = true;
    return gate.Get(UrlOf(silent));
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it reach the engine

  const auto begin = std::chrono::steady_clock::now();
  gate.RunClosed([&] {
    EXPECT_TRUE(gate.Closed());
    EXPECT_THROW(gate.Get(UrlOf(silent)), net::EIdClosedSocket) << "no call starts while closed";
    EXPECT_ANY_THROW(call.get()) << "the stalled call is ended";
  });
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  EXPECT_FALSE(gate.Closed());
  EXPECT_EQ(gate.Pool(), nullptr) << "a gate without a pool offers none";

  ScriptedServer answering;
  answering.Push(std::string(kReply));
  EXPECT_EQ(gate.Get(UrlOf(answering)), u"ok") << "the client was resumed when the gate reopened";

  // A call's key is the client's to guard: the gate passes the word on.
  ScriptedServer elsewhere;
  answering.Push("HTTP/1.1 302 Found\r\nLocation: http://localhost:" + std::to_string(elsewhere.Port()) +
                 "/\r\nContent-Length: 0\r\n\r\n");
  gate.SetCarriesCredentials(true);
  EXPECT_THROW(gate.Get(UrlOf(answering)), translate::ECredentialsWithheld);
  EXPECT_TRUE(elsewhere.Requests().empty());
}

TEST(UpstreamGateTest, SwitchingOffEndsEveryPooledCallAndRefusesClientsUntilItReopens) {
  TIdHTTP http;
  TUpstreamPool pool(2);
  TUpstreamGate gate(
      http,
      [&] {
        http.Abort();
        pool.Abort();
      },
      [&] {
        http.ResumeCalls();
        pool.ResumeCalls();
      },
      &pool);
  ASSERT_EQ(gate.Pool(), &gate);
  ScriptedServer silent;
  for (int i = 0; i < 2; ++i) silent.Push(ScriptedServer::Reply{.Bytes = {}, .Stall = true});
  auto pooledCall = [&] {
    translate::IUpstreamClient& client = gate.Take();
    struct GiveBack {
      TUpstreamGate& gate;
      translate::IUpstreamClient& client;
      ~GiveBack() { gate.GiveBack(client); }
    } giveBack{gate, client};
    return client.Get(UrlOf(silent));
  };
  // Only pooled calls run: two at the service, one waiting for a client.
  std::vector<std::future<std::u16string>> calls;
  for (int i = 0; i < 3; ++i) calls.push_back(std::async(std::launch::async, pooledCall));
  ASSERT_TRUE(silent.WaitForRequests(2));
  ASSERT_TRUE(test_support::WaitFor([&] { return pool.Waiting() == 1; }));

  const auto begin = std::chrono::steady_clock::now();
  gate.RunClosed([&] {
    EXPECT_TRUE(gate.CallsStopped());
    EXPECT_THROW(gate.Take(), net::EIdClosedSocket) << "no client is handed out while closed";
    for (auto& call : calls) {
      if (call.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "a pooled call was left running";
        pool.Abort();
      }
      EXPECT_ANY_THROW(call.get());
    }
  });
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_EQ(silent.Requests().size(), 2u);

  ScriptedServer answering;
  answering.Push(std::string(kReply));
  translate::IUpstreamClient& client = gate.Take();
  EXPECT_EQ(client.Get(UrlOf(answering)), u"ok") << "the pool's clients were resumed when the gate reopened";
  gate.GiveBack(client);
  EXPECT_EQ(pool.Made(), 2u);
}

TEST(UpstreamGateTest, ReopensWhenTheStopFails) {
  TIdHTTP http;
  TUpstreamGate gate(
      http, [&] { http.Abort(); }, [&] { http.ResumeCalls(); });
  EXPECT_THROW(gate.RunClosed([] { throw std::runtime_error("stop failed"); }), std::runtime_error);
  EXPECT_FALSE(gate.Closed());
  ScriptedServer answering;
  answering.Push(std::string(kReply));
  EXPECT_EQ(gate.Get(UrlOf(answering)), u"ok");
}

}  // namespace
}  // namespace tessarine::client
